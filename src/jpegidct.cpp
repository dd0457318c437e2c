// libjpeg's accurate integer inverse DCT, computed only for the samples read.
//
// The inverse DCT of libjpeg's jidctint.c has no rounding inside either of
// its passes, so each value of its first pass is a sum of integer products
// of the coefficients, then one descale, and each sample of its second pass
// a sum over one row of those values. The weights are taken from the same
// butterfly code, fed unit vectors. That arithmetic follows libjpeg-turbo's
// jidctint.c, under the IJG licence (see data/copyright).

#include "jpegidct.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// The weights of the second pass in pairs of inputs, for the multiply-add
// of 16-bit pairs: [input pair][output half][output within it][input].
struct PairedWeights
{
    alignas(16) int16_t weight[4][2][4][2] = {};
    constexpr PairedWeights()
    {
        for (int pair = 0; pair < 4; ++pair)
            for (int output = 0; output < 8; ++output)
                for (int input = 0; input < 2; ++input)
                    weight[pair][output / 4][output % 4][input] = dctWeights.weight[output][2 * pair + input];
    }
};
constexpr PairedWeights pairedWeights;

} // namespace

const int16_t (&dctWeight)[8][8] = dctWeights.weight;

bool dequantiseBlock(int16_t *coefficients, const int16_t *quant, Coefficients &block)
{
#ifdef __SSE2__
    // The product is in range where its high half is the sign of its low
    // half, and the low half is.
    __m128i outside = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi16(2047), bottom = _mm_set1_epi16(-2047);
    for (int i = 0; i < 64; i += 8) {
        __m128i *at = reinterpret_cast<__m128i *>(coefficients + i);
        const __m128i a = _mm_loadu_si128(at), q = _mm_loadu_si128(reinterpret_cast<const __m128i *>(quant + i));
        const __m128i low = _mm_mullo_epi16(a, q), high = _mm_mulhi_epi16(a, q);
        outside = _mm_or_si128(outside, _mm_or_si128(_mm_cmpgt_epi16(low, top), _mm_cmplt_epi16(low, bottom)));
        outside = _mm_or_si128(outside, _mm_xor_si128(high, _mm_srai_epi16(low, 15)));
        _mm_store_si128(reinterpret_cast<__m128i *>(block.value + i), low);
        _mm_storeu_si128(at, _mm_setzero_si128());
    }
    return _mm_movemask_epi8(outside) == 0;
#else
    bool inRange = true;
    for (int i = 0; i < 64; ++i) {
        inRange &= dequantise(coefficients[i], quant[i], block.value[i]);
        coefficients[i] = 0;
    }
    return inRange;
#endif
}

bool inverseDctColumns(const Coefficients &block, int row, int16_t *columns)
{
    const int16_t *weight = dctWeight[row];
#ifdef __SSE2__
    // Eight sums at once, two rows of coefficients at a time: each product
    // pair of a row's weight and coefficient is exact in 32 bits.
    __m128i low = _mm_setzero_si128(), high = _mm_setzero_si128();
    for (int v = 0; v < 8; v += 2) {
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i *>(block.value + 8 * v));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i *>(block.value + 8 * v + 8));
        const __m128i pair = _mm_set1_epi32(int32_t(uint16_t(weight[v]) | uint32_t(uint16_t(weight[v + 1])) << 16));
        low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), pair));
        high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), pair));
    }
    const __m128i half = _mm_set1_epi32(1024), top = _mm_set1_epi32(16383), bottom = _mm_set1_epi32(-16383);
    low = _mm_srai_epi32(_mm_add_epi32(low, half), 11);
    high = _mm_srai_epi32(_mm_add_epi32(high, half), 11);
    const __m128i outside = _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi32(low, top), _mm_cmplt_epi32(low, bottom)),
                                         _mm_or_si128(_mm_cmpgt_epi32(high, top), _mm_cmplt_epi32(high, bottom)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(columns), _mm_packs_epi32(low, high));
    return _mm_movemask_epi8(outside) == 0;
#else
    int32_t sums[8] = {};
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u)
            sums[u] += int32_t(weight[v]) * block.value[8 * v + u];
    bool inRange = true;
    for (int column = 0; column < 8; ++column) {
        const int32_t result = (sums[column] + 1024) >> 11;
        inRange &= result >= -16383 && result <= 16383;
        columns[column] = int16_t(result);
    }
    return inRange;
#endif
}

unsigned inverseDctRow(const int16_t *columns, uint8_t *samples)
{
#ifdef __SSE2__
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(columns));
    const __m128i pairs[4] = {_mm_shuffle_epi32(in, 0x00), _mm_shuffle_epi32(in, 0x55), _mm_shuffle_epi32(in, 0xaa),
                              _mm_shuffle_epi32(in, 0xff)};
    __m128i half[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
    for (int pair = 0; pair < 4; ++pair)
        for (int h = 0; h < 2; ++h)
            half[h] = _mm_add_epi32(half[h], _mm_madd_epi16(pairs[pair], _mm_load_si128(reinterpret_cast<const __m128i *>(
                                                                              pairedWeights.weight[pair][h]))));
    const __m128i round = _mm_set1_epi32(1 << 17), top = _mm_set1_epi32(383), bottom = _mm_set1_epi32(-384);
    unsigned outside = 0;
    for (int h = 0; h < 2; ++h) {
        half[h] = _mm_srai_epi32(_mm_add_epi32(half[h], round), 18);
        const __m128i out = _mm_or_si128(_mm_cmpgt_epi32(half[h], top), _mm_cmplt_epi32(half[h], bottom));
        outside |= unsigned(_mm_movemask_ps(_mm_castsi128_ps(out))) << (4 * h);
    }
    const __m128i shifted = _mm_add_epi16(_mm_packs_epi32(half[0], half[1]), _mm_set1_epi16(128));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(samples), _mm_packus_epi16(shifted, shifted));
    return outside;
#else
    unsigned outside = 0;
    for (int column = 0; column < 8; ++column) {
        int32_t sum = 0;
        for (int j = 0; j < 8; ++j)
            sum += int32_t(dctWeight[column][j]) * columns[j];
        const int32_t v = (sum + (1 << 17)) >> 18;
        samples[column] = uint8_t(std::clamp(v + 128, 0, 255));
        outside |= unsigned(v < -384 || v > 383) << column;
    }
    return outside;
#endif
}

} // namespace sixfold
