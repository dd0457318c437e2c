// The progressive scans of the block decoder (jdphuff.c): the first bits
// and the refinement of DC coefficients and of bands of AC ones, block by
// block, the blocks not kept passed over keeping only which coefficients
// are not zero.

#include "jpegprogressive.h"

#include "jpeghuff.h"

#include <climits>

namespace sixfold {

namespace {

// One block of a progressive scan: its values (null where it is not kept)
// and the mask of those not zero, in zigzag order.
struct Block
{
    int16_t *values;
    uint64_t *nonzero;
};

// The number of bits set, without a library call where the processor may
// have no instruction for it.
__attribute__((always_inline)) inline int bitCount(uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return int((x * 0x0101010101010101u) >> 56);
}

// Where in a byte its n-th bit set lies (n from 0), and how many it has,
// for each byte value.
struct ByteSelect
{
    alignas(8) uint8_t at[256][8] = {};
    uint8_t count[256] = {};
    constexpr ByteSelect()
    {
        for (int byte = 0; byte < 256; ++byte)
            for (int bit = 0; bit < 8; ++bit)
                if (byte >> bit & 1)
                    at[byte][count[byte]++] = uint8_t(bit);
    }
};
constexpr ByteSelect byteSelect;

// The positions of a mask's bits set, in increasing order, into `list`,
// then 16 times 64 (past any band); returns how many it has. `list` holds
// 80.
__attribute__((always_inline)) inline int listPositions(uint64_t mask, uint8_t *list)
{
    int n = 0;
    for (int byte = 0; byte < 8; ++byte, mask >>= 8) {
        uint64_t positions;
        std::memcpy(&positions, byteSelect.at[mask & 0xff], 8);
        positions += 0x0808080808080808u * uint64_t(byte);
        std::memcpy(list + n, &positions, 8);
        n += byteSelect.count[mask & 0xff];
    }
    std::memset(list + n, 64, 16);
    return n;
}

// An end-of-band run of 2^zeros and the bits after its code, counting the
// block it ends in.
__attribute__((always_inline)) inline unsigned endOfBands(BitReader &in, int zeros)
{
    in.fill();
    return (1u << zeros) + (zeros ? in.take(zeros) : 0);
}

// The first bits of the DC coefficient (decode_mcu_DC_first).
__attribute__((always_inline)) inline bool dcFirst(BitReader &in, Scan &scan, int k, const Block &block)
{
    uint32_t diff = 0;
    if (!readDc(in, *scan.dcOf[k], diff))
        return false;
    // libjpeg stops where the sum leaves an int.
    const int64_t sum = int64_t(int32_t(scan.prediction[k])) + int32_t(diff);
    if (sum > INT32_MAX || sum < INT32_MIN)
        return false;
    scan.prediction[k] = uint32_t(sum);
    if (block.values)
        block.values[0] = int16_t(scan.prediction[k] << scan.Al);
    return true;
}

// The next bit of the DC coefficient (decode_mcu_DC_refine).
__attribute__((always_inline)) inline void dcRefine(BitReader &in, const Scan &scan, const Block &block)
{
    in.fill();
    if (in.take(1) && block.values)
        block.values[0] = int16_t(block.values[0] | (1 << scan.Al));
}

// The first bits of a band of AC coefficients (decode_mcu_AC_first). The
// band's coefficients are zero before, as the progression is checked.
__attribute__((always_inline)) inline bool acFirst(BitReader &in, Scan &scan, const Block &block)
{
    if (scan.eobrun) {
        --scan.eobrun;
        return true;
    }
    const Huffman &table = *scan.acOf[0];
    for (int k = scan.Ss; k <= scan.Se; ++k) {
        int zeros, size, value;
        if (!acSymbol(in, table, zeros, size, value))
            return false;
        if (size) {
            k += zeros;
            if (k > scan.Se)   // past the band: corrupt data
                return false;
            const int16_t coefficient = int16_t(uint32_t(value) << scan.Al);
            if (coefficient) {
                *block.nonzero |= uint64_t(1) << k;
                if (block.values)
                    block.values[naturalOrder[size_t(k)]] = coefficient;
            }
        } else if (zeros == 15) {
            k += 15;
        } else {
            // The end of this band, and of as many more as the run says.
            scan.eobrun = endOfBands(in, zeros) - 1;
            break;
        }
    }
    return true;
}

// The `count` correction bits of the coefficients not zero among the
// positions `passed`, one each in order: a 1 adds the bit coded to the
// coefficient's size (decode_mcu_AC_refine). Passed over where the block
// is not kept. The progression is checked, so each coefficient's bits below
// Ah are zero until now, and libjpeg's test that the bit is not yet set
// always passes.
__attribute__((always_inline)) inline void correct(BitReader &in, const Scan &scan, const Block &block,
                                                   uint64_t passed, int count)
{
    if (!block.values) {
        if (count > 32) {
            in.fill();
            in.drop(32);
            count -= 32;
        }
        in.fill();
        in.drop(count);
        return;
    }
    uint64_t nonzero = *block.nonzero & passed;
    const int p1 = 1 << scan.Al;
    while (count > 0) {
        const int taken = std::min(count, 32);
        in.fill();
        uint32_t bits = in.take(taken) << (32 - taken);   // the first at the top
        count -= taken;
        for (int i = 0; i < taken; ++i, nonzero &= nonzero - 1, bits <<= 1) {
            int16_t &value = block.values[naturalOrder[size_t(__builtin_ctzll(nonzero))]];
            const int step = value >= 0 ? p1 : -p1;
            value = int16_t(value + (step & -int(bits >> 31)));
        }
    }
}

// The next bit of a band of AC coefficients (decode_mcu_AC_refine): runs
// of zero coefficients, each before one that is not zero from now on, the
// correction bits of those already not zero on the way. The zero
// coefficients of the band are listed once at the block's start: those it
// makes not zero lie behind the position reached, so the list holds, and the
// coefficients not zero before the zero reached number its distance less the
// zeros passed.
__attribute__((always_inline)) inline bool acRefine(BitReader &in, Scan &scan, const Block &block)
{
    const Huffman &table = *scan.acOf[0];
    int k = scan.Ss;
    const int end = scan.Se + 1;
    if (!scan.eobrun) {
        uint8_t zeroAt[80];
        const int zeros = listPositions(~*block.nonzero & scan.band, zeroAt);
        int next = 0;   // the first zero at k or after
        while (k < end) {
            int run, size, value;
            if (!acSymbol(in, table, run, size, value))
                return false;
            if (size > 1)   // libjpeg warns
                return false;
            if (!size && run != 15) {
                scan.eobrun = endOfBands(in, run);
                break;
            }
            // The zero coefficient after `run` others (a run of 16 for a
            // code of zeros alone), or the band's end.
            next += run;
            const int at = zeroAt[next];
            const int stop = std::min(at, end);
            correct(in, scan, block, positions(k, stop - 1), stop - k - (at < 64 ? run : zeros - (next - run)));
            if (size) {
                if (at > 63)   // past the band: corrupt data
                    return false;
                *block.nonzero |= uint64_t(1) << at;
                if (block.values)
                    block.values[naturalOrder[size_t(at)]] = int16_t(value * (1 << scan.Al));
            }
            k = stop + 1;
            ++next;
        }
    }
    if (scan.eobrun) {
        const uint64_t rest = positions(k, scan.Se);
        correct(in, scan, block, rest, bitCount(*block.nonzero & rest));
        --scan.eobrun;
    }
    return true;
}

} // namespace

// A block of each kind of progressive scan.
template <>
__attribute__((always_inline)) inline bool decodeBlock<Kind::DcFirst>(BitReader &in, Scan &scan, int k, long index,
                                                                      uint64_t *nonzero, BlockRow &, int16_t *values)
{
    return dcFirst(in, scan, k, {index >= 0 && values ? values + 64 * index : nullptr, nonzero});
}

template <>
__attribute__((always_inline)) inline bool decodeBlock<Kind::DcRefine>(BitReader &in, Scan &scan, int, long index,
                                                                       uint64_t *nonzero, BlockRow &, int16_t *values)
{
    dcRefine(in, scan, {index >= 0 && values ? values + 64 * index : nullptr, nonzero});
    return true;
}

template <>
__attribute__((always_inline)) inline bool decodeBlock<Kind::AcFirst>(BitReader &in, Scan &scan, int, long index,
                                                                      uint64_t *nonzero, BlockRow &, int16_t *values)
{
    return acFirst(in, scan, {index >= 0 && values ? values + 64 * index : nullptr, nonzero});
}

template <>
__attribute__((always_inline)) inline bool decodeBlock<Kind::AcRefine>(BitReader &in, Scan &scan, int, long index,
                                                                       uint64_t *nonzero, BlockRow &, int16_t *values)
{
    return acRefine(in, scan, {index >= 0 && values ? values + 64 * index : nullptr, nonzero});
}


bool decodeProgressiveRow(Scan &scan, const BlockLayout &layout, BlockRow &row, int16_t *values,
                          std::vector<std::vector<uint64_t>> &nonzero)
{
    switch (scan.kind) {
    case Kind::DcFirst:
        return decodeScanRow<Kind::DcFirst>(scan, layout, row, values, nonzero);
    case Kind::DcRefine:
        return decodeScanRow<Kind::DcRefine>(scan, layout, row, values, nonzero);
    case Kind::AcFirst:
        return decodeScanRow<Kind::AcFirst>(scan, layout, row, values, nonzero);
    case Kind::AcRefine:
        return decodeScanRow<Kind::AcRefine>(scan, layout, row, values, nonzero);
    default:
        return false;
    }
}

} // namespace sixfold
