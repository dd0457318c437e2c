// libjpeg's accurate integer inverse DCT, computed only for the samples read.
//
// The inverse DCT of libjpeg's jidctint.c has no rounding inside either of
// its passes, so each value of its first pass is a sum of integer products
// of the coefficients, then one descale, and each sample of its second pass
// a sum over one row of those values. The weights are taken from the same
// butterfly code, fed unit vectors. That arithmetic follows libjpeg-turbo's
// jidctint.c, under the IJG licence (see data/copyright).

#include "jpegidct.h"

namespace sixfold {

namespace {

// The butterfly of libjpeg's accurate integer inverse DCT (jidctint.c),
// which both its passes run over eight values: the columns of a block, then
// its rows of column results.
template <class T> constexpr void inverseDct8(const T *in, int stride, T *result)
{
    T z2 = in[2 * stride], z3 = in[6 * stride];
    T z1 = (z2 + z3) * 4433;
    const T t2 = z1 + z3 * -15137, t3 = z1 + z2 * 6270;
    z2 = in[0];
    z3 = in[4 * stride];
    const T t0 = (z2 + z3) * 8192, t1 = (z2 - z3) * 8192;
    const T t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    T o0 = in[7 * stride], o1 = in[5 * stride], o2 = in[3 * stride], o3 = in[stride];
    z1 = o0 + o3;
    z2 = o1 + o2;
    z3 = o0 + o2;
    T z4 = o1 + o3;
    const T z5 = (z3 + z4) * 9633;
    z1 *= -7373;
    z2 *= -20995;
    z3 = z3 * -16069 + z5;
    z4 = z4 * -3196 + z5;
    o0 = o0 * 2446 + z1 + z3;
    o1 = o1 * 16819 + z2 + z4;
    o2 = o2 * 25172 + z2 + z3;
    o3 = o3 * 12299 + z1 + z4;
    result[0] = t10 + o3;
    result[7] = t10 - o3;
    result[1] = t11 + o2;
    result[6] = t11 - o2;
    result[2] = t12 + o1;
    result[5] = t12 - o1;
    result[3] = t13 + o0;
    result[4] = t13 - o0;
}

// What each input of the butterfly adds to each output: it has no rounding
// inside, so each output is a sum of products, each pass's rounding coming
// after it. The weights fit in 16 bits.
struct DctWeights
{
    int16_t weight[8][8] = {};   // [output][input]
    constexpr DctWeights()
    {
        for (int k = 0; k < 8; ++k) {
            int64_t unit[8] = {}, result[8] = {};
            unit[k] = 1;
            inverseDct8(unit, 1, result);
            for (int r = 0; r < 8; ++r)
                weight[r][k] = int16_t(result[r]);
        }
    }
};
constexpr DctWeights dctWeights;

} // namespace

const int16_t (&dctWeight)[8][8] = dctWeights.weight;

bool inverseDctColumns(const Coefficients &block, int row, int16_t *columns)
{
    const int16_t *weight = dctWeight[row];
    int32_t sums[8] = {};
    for (int i = 0; i < block.count; ++i)
        sums[block.place[i] & 7] += int32_t(weight[block.place[i] >> 3]) * block.value[i];
    for (int column = 0; column < 8; ++column) {
        const int32_t result = (sums[column] + 1024) >> 11;
        if (result < -16383 || result > 16383)
            return false;
        columns[column] = int16_t(result);
    }
    return true;
}

} // namespace sixfold
