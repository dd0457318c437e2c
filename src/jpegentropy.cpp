// Huffman decoding of a JPEG's scans, as libjpeg-turbo decodes them, into
// the coefficients of the blocks a picture's chosen pixels need.
//
// Where any block of a scan begins is known only by reading the Huffman
// codes before it, but passing over a block needs just their lengths: that
// is done with tables that take several codes at a time. The blocks kept
// are decoded as libjpeg's jdhuff.c (sequential scans) and jdphuff.c
// (progressive ones) decode them, under the IJG licence (see
// data/copyright).
//
// A progressive file codes each block over several scans, which libjpeg
// decodes one after another into coefficients of the whole picture. Here
// they are decoded side by side instead, an MCU row at a time, each from
// its own place in the file: the coefficients of a row are complete once
// every scan has passed it, so only a row's are ever kept, and of the
// blocks not needed only which coefficients are not zero, which a
// refinement scan reads.

#include "jpegentropy.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <cstring>
#include <utility>

#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace sixfold {

namespace {

constexpr int FastBits = 10;   // bits of a code looked up at once
constexpr int RunBits = 12;    // bits looked up for several AC codes at once

// The signed value of `size` extra bits (HUFF_EXTEND in jdhuff.c).
__attribute__((always_inline)) inline int extend(uint32_t value, int size)
{
    return value < (1u << (size - 1)) ? int(value) + int((~0u << size) + 1) : int(value);
}

// A Huffman table, as libjpeg derives it (jdhuff.c).
struct Huffman
{
    uint16_t code[1 << FastBits] = {};   // length | symbol << 8; 0: a longer code
    // A code and its extra bits that fit in FastBits whole: bits used (5
    // bits), zeros before (4), extra bits (4), and from bit 16 the value.
    int32_t whole[1 << FastBits] = {};
    // AC codes and their extra bits that fit in RunBits whole: bits used
    // (5 bits), coefficients advanced (8), advanced before the last code
    // (8), ended by end-of-block (1); 0: none. Only for the AC tables of
    // sequential scans, which pass over blocks with it; left unwritten (and
    // so costing no memory) in the others.
    uint32_t run[1 << RunBits];
    int32_t maxcode[18] = {};
    int32_t valoffset[18] = {};
    uint8_t values[256] = {};
};

// False where libjpeg would refuse the table, or put in one of its own.
// With `runs`, an AC table's run look-ups too.
bool derive(const JHUFF_TBL *table, bool dc, bool runs, Huffman &h)
{
    if (!table)
        return false;
    int lengths[256], count = 0;
    for (int l = 1; l <= 16; ++l) {
        if (count + table->bits[l] > 256)
            return false;
        for (int i = 0; i < table->bits[l]; ++i)
            lengths[count++] = l;
    }
    uint32_t codes[256], next = 0;
    for (int l = 1, p = 0; l <= 16; ++l, next <<= 1) {
        for (int i = 0; i < table->bits[l]; ++i)
            codes[p++] = next++;
        if (next >= (1u << l))
            return false;
    }
    for (int l = 1, p = 0; l <= 16; ++l) {
        if (table->bits[l]) {
            h.valoffset[l] = p - int32_t(codes[p]);
            p += table->bits[l];
            h.maxcode[l] = int32_t(codes[p - 1]);
        } else {
            h.maxcode[l] = -1;
        }
    }
    std::memcpy(h.values, table->huffval, sizeof h.values);
    for (int i = 0; i < count; ++i) {
        if (dc && table->huffval[i] > 15)
            return false;
        if (lengths[i] <= FastBits) {
            const int shift = FastBits - lengths[i];
            std::fill_n(h.code + (codes[i] << shift), 1 << shift, uint16_t(lengths[i] | table->huffval[i] << 8));
            const int size = dc ? table->huffval[i] : table->huffval[i] & 15, zeros = dc ? 0 : table->huffval[i] >> 4;
            for (uint32_t rest = 0; size <= shift && rest < (1u << shift); ++rest) {
                const int value = size ? extend(rest >> (shift - size), size) : 0;
                h.whole[(codes[i] << shift) | rest] = int32_t(uint32_t(lengths[i] + size) | uint32_t(zeros) << 5 |
                                                              uint32_t(size) << 9 | uint32_t(value) << 16);
            }
        }
    }
    if (dc || !runs)
        return true;
    for (uint32_t bits = 0; bits < (1u << RunBits); ++bits) {
        int used = 0, advanced = 0, before = 0, codes = 0;
        bool end = false;
        while (used < RunBits) {
            const uint32_t rest = (bits << used) & ((1u << RunBits) - 1);
            const uint16_t e = h.code[rest >> (RunBits - FastBits)];
            const int length = e & 31, size = (e >> 8) & 15, zeros = e >> 12;
            if (!e || used + length + size > RunBits)
                break;
            used += length + size;
            before = advanced;
            ++codes;
            if (!size && zeros != 15) {
                end = true;
                break;
            }
            advanced += size ? zeros + 1 : 16;
        }
        h.run[bits] = codes ? uint32_t(used | advanced << 5 | before << 13 | int(end) << 21) : 0;
    }
    return true;
}

// The file behind a scan's coded data, read in large pieces from where they
// stand.
struct Source
{
    int descriptor = -1;   // none: the data end with the piece
    double offset = 0;     // of the next byte to read
    std::vector<uint8_t> piece;
};

// The coded data, read as libjpeg's bit reader does (jdhuff.c). Small, so
// that the loops below work on a copy of it held in registers.
struct BitReader
{
    Source *source;
    const uint8_t *at, *end;
    uint64_t bits = 0;   // the next bits, from the top
    int count = 0;       // bits held
    int padding = 0;     // of which zeros put after the data
    bool stopped = false;   // at a marker or the end of the file

    // At least two bytes on hand, unless the file has ended.
    __attribute__((noinline)) void more()
    {
        std::vector<uint8_t> &piece = source->piece;
        const size_t left = size_t(end - at);
        std::memmove(piece.data(), at, left);
        at = piece.data();
        const ssize_t got = source->descriptor < 0 ? 0
                                                   : pread(source->descriptor, piece.data() + left, piece.size() - left,
                                                           off_t(source->offset));
        source->offset += double(std::max<ssize_t>(got, 0));
        end = at + left + size_t(std::max<ssize_t>(got, 0));
    }

    void fill()
    {
        if (count > 32)
            return;
        if (!stopped && end - at >= 8) {
            // Eight bytes, the first at the top, whatever the byte order
            // of the processor.
            uint64_t word = 0;
            for (int i = 0; i < 8; ++i)
                word = word << 8 | at[i];
            const uint64_t inverted = ~word;   // a byte 0xff is zero here
            if (!((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u)) {
                const int bytes = (63 - count) >> 3;
                bits |= (word >> (64 - 8 * bytes)) << (64 - count - 8 * bytes);
                count += 8 * bytes;
                at += bytes;
                return;
            }
        }
        // Through a copy, so that this reader's address is never taken and
        // the loops below keep it in registers.
        BitReader copy = *this;
        copy.fillSlowly();
        *this = copy;
    }

    __attribute__((noinline)) void fillSlowly()
    {
        while (count <= 56) {
            uint32_t byte = 0;
            if (!stopped) {
                if (end - at < 2)
                    more();
                if (at < end && *at != 0xff)
                    byte = *at++;
                else if (end - at >= 2 && at[1] == 0)
                    byte = 0xff, at += 2;
                else
                    stopped = true;   // libjpeg gives zeros from here on
            }
            if (stopped)
                padding += 8;
            bits |= uint64_t(byte) << (56 - count);
            count += 8;
        }
    }

    uint32_t peek(int n) const { return uint32_t(bits >> (64 - n)); }
    void drop(int n)
    {
        bits <<= n;
        count -= n;
    }
    // n from 1 to 16, after fill().
    uint32_t take(int n)
    {
        const uint32_t value = peek(n);
        drop(n);
        return value;
    }
    // Whether only real data were used, as libjpeg would without warning.
    bool sound() const { return count >= padding; }

    // Passes over coded data (nothing taken from them yet) to restart
    // marker `number`, which must be the first marker.
    bool passTo(int number)
    {
        for (;;) {
            if (end - at < 2)
                more();
            if (end - at < 2)
                return false;
            const auto *mark = static_cast<const uint8_t *>(std::memchr(at, 0xff, size_t(end - at - 1)));
            if (!mark) {
                at = end - 1;   // which may be the 0xff of a pair
                continue;
            }
            at = mark;
            if (at[1] != 0)
                return at[1] == JPEG_RST0 + number;
            at += 2;
        }
    }

    // A restart marker must follow the data, after no more than the bits
    // that fill the last byte.
    bool restart(int number)
    {
        if (count - padding >= 8)
            return false;
        if (end - at < 2)
            more();
        if (end - at < 2 || at[0] != 0xff || at[1] != JPEG_RST0 + number)
            return false;
        at += 2;
        bits = 0;
        count = padding = 0;
        stopped = false;
        return true;
    }
};

// One Huffman symbol; -1 for a code no table entry has.
__attribute__((always_inline)) inline int decode(BitReader &in, const Huffman &h)
{
    in.fill();
    const uint16_t e = h.code[in.peek(FastBits)];
    if (e) {
        in.drop(e & 31);
        return e >> 8;
    }
    int length = FastBits + 1;
    int32_t code = int32_t(in.peek(length));
    while (length <= 16 && code > h.maxcode[length])
        code = int32_t(in.peek(++length));
    if (length > 16)
        return -1;
    in.drop(length);
    return h.values[(code + h.valoffset[length]) & 0xff];
}

// Natural order of the zigzag positions, with libjpeg's guard entries for
// runs past the end in corrupt data.
constexpr std::array<uint8_t, 80> naturalOrder = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

// The DC difference of a block, added to the prediction.
__attribute__((always_inline)) inline bool readDc(BitReader &in, const Huffman &dc, uint32_t &prediction)
{
    in.fill();
    if (const int32_t w = dc.whole[in.peek(FastBits)]) {
        in.drop(w & 31);
        prediction += uint32_t(w >> 16);
        return true;
    }
    const int size = decode(in, dc);
    if (size < 0)
        return false;
    if (size) {
        in.fill();
        prediction += uint32_t(extend(in.take(size), size));
    }
    return true;
}

// Passes over a block, keeping the DC prediction.
__attribute__((always_inline)) inline bool skipBlock(BitReader &in, const Huffman &dc, const Huffman &ac, uint32_t &prediction)
{
    if (!readDc(in, dc, prediction))
        return false;
    for (int k = 1; k < 64;) {
        in.fill();
        const uint32_t e = ac.run[in.peek(RunBits)];
        if (e && k + int(e >> 13 & 255) < 64) {
            in.drop(e & 31);
            if (e >> 21)
                break;
            k += int(e >> 5 & 255);
            continue;
        }
        const int symbol = decode(in, ac);
        if (symbol < 0)
            return false;
        const int zeros = symbol >> 4, bits = symbol & 15;
        if (bits) {
            in.fill();
            in.drop(bits);
            k += zeros + 1;
        } else if (zeros == 15) {
            k += 16;
        } else {
            break;
        }
    }
    return true;
}

// A symbol of an AC table and the bits after it that its size says (which
// a refinement scan gives one of); false for a code no table entry has.
__attribute__((always_inline)) inline bool acSymbol(BitReader &in, const Huffman &table, int &zeros, int &size, int &value)
{
    in.fill();
    if (const int32_t w = table.whole[in.peek(FastBits)]) {
        in.drop(w & 31);
        zeros = w >> 5 & 15;
        size = w >> 9 & 15;
        value = w >> 16;
        return true;
    }
    const int symbol = decode(in, table);
    if (symbol < 0)
        return false;
    zeros = symbol >> 4;
    size = symbol & 15;
    in.fill();
    value = size ? extend(in.take(size), size) : 0;
    return true;
}

// Zeros a block. GCC makes a memset of it a `rep stos`, whose start-up
// alone costs more than these eight stores.
__attribute__((always_inline)) inline void clear(Coefficients &block)
{
#ifdef __SSE2__
    for (int i = 0; i < 64; i += 8)
        _mm_store_si128(reinterpret_cast<__m128i *>(block.value + i), _mm_setzero_si128());
#else
    std::memset(block.value, 0, sizeof block.value);
#endif
}

// Decodes a block's coefficients; false also where one is out of that range.
__attribute__((always_inline)) inline bool readBlock(BitReader &in, const Huffman &dc, const Huffman &ac,
                                                     const int16_t *quant, uint32_t &prediction, Coefficients &block)
{
    clear(block);
    if (!readDc(in, dc, prediction))
        return false;
    // Each dequantised value is checked at the end, all at once.
    int32_t v = int32_t(int16_t(prediction)) * quant[0];
    block.value[0] = int16_t(v);
    uint32_t outside = uint32_t(v + 2047) > 4094;
    for (int k = 1; k < 64; ++k) {
        int zeros, bits, value;
        if (!acSymbol(in, ac, zeros, bits, value))
            return false;
        if (bits) {
            k += zeros;
            const int place = naturalOrder[size_t(k)];
            v = int32_t(int16_t(value)) * quant[place];
            block.value[place] = int16_t(v);
            outside |= uint32_t(v + 2047) > 4094;
        } else if (zeros != 15) {
            break;
        } else {
            k += 15;
        }
    }
    return !outside;
}

// How a scan codes its blocks: whole (a sequential scan), or one part of a
// progression (jdphuff.c).
enum class Kind { Sequential, DcFirst, DcRefine, AcFirst, AcRefine };

} // namespace

struct EntropyDecoder::Scan
{
    Kind kind = Kind::Sequential;
    int Ss = 0, Se = 63, Al = 0;
    uint64_t band = 0;                  // positions Ss to Se, zigzag
    int count = 0;                      // components
    int component[MAX_COMPS_IN_SCAN] = {};   // in the layout
    std::unique_ptr<Huffman[]> tables;  // those its components use
    size_t tableCount = 0;
    // The blocks of an MCU: of which scan component, and where in the
    // component's blocks.
    int blocksInMcu = 1;
    int member[D_MAX_BLOCKS_IN_MCU] = {}, dx[D_MAX_BLOCKS_IN_MCU] = {}, dy[D_MAX_BLOCKS_IN_MCU] = {};
    Source source;
    BitReader in{nullptr, nullptr, nullptr};
    uint32_t prediction[MAX_COMPS_IN_SCAN] = {};
    unsigned eobrun = 0;
    long interval = 0;
    long lastMcu = 0;   // the last it decodes, holding the last needed block
    int nextRestart = 0;
    bool passing = false;

    // Of each component: its tables (among those above) and quantisation.
    const Huffman *dcOf[MAX_COMPS_IN_SCAN] = {}, *acOf[MAX_COMPS_IN_SCAN] = {};
    const int16_t *quantOf[MAX_COMPS_IN_SCAN] = {};
};

namespace {

using Scan = EntropyDecoder::Scan;

// Whether an MCU of the scan (a block, in a scan of one component) lies in
// an MCU of the frame the chosen pixels need.
bool neededMcu(const Scan &scan, const BlockLayout &layout, long m)
{
    if (scan.count > 1)
        return layout.neededRows[size_t(m / layout.mcuColumns)] && layout.neededMcuColumns[size_t(m % layout.mcuColumns)];
    const BlockLayout::Component &c = layout.components[size_t(scan.component[0])];
    const long by = m / c.across, bx = m % c.across;
    return layout.neededRows[size_t(by / c.v)] && layout.neededMcuColumns[size_t(bx / c.h)];
}

// The restart marker that must come before MCU `m` (a multiple of the
// interval), and, for a sequential scan, whether the interval it starts
// holds a block needed at all: if not, it is passed over to its end. False
// where the marker is not there. It reads through the scan's own reader.
__attribute__((noinline)) bool restartBefore(Scan &scan, const BlockLayout &layout, long m)
{
    if (m) {
        if (!scan.in.restart(scan.nextRestart))
            return false;
        scan.nextRestart = (scan.nextRestart + 1) & 7;
        std::fill_n(scan.prediction, MAX_COMPS_IN_SCAN, 0u);
        scan.eobrun = 0;
    }
    if (scan.kind == Kind::Sequential) {
        scan.passing = true;
        for (long n = m; n < m + scan.interval && n <= scan.lastMcu && scan.passing; ++n)
            scan.passing = !neededMcu(scan, layout, n);
        if (scan.passing && !scan.in.passTo(scan.nextRestart))
            return false;
    }
    return true;
}

// The restart before MCU `m` where one is due there: the loops' reader is
// copied into the scan's and back, so that its address is never taken.
__attribute__((always_inline)) inline bool restartIfDue(BitReader &in, Scan &scan, const BlockLayout &layout, long m)
{
    if (!scan.interval || m % scan.interval)
        return true;
    scan.in = in;
    if (!restartBefore(scan, layout, m))
        return false;
    in = scan.in;
    return true;
}

// One block of a progressive scan: its values (null where it is not kept)
// and the mask of those not zero, in zigzag order.
struct Block
{
    int16_t *values;
    uint64_t *nonzero;
};

// The zigzag positions k to `last` as bits of a mask; none where k is past
// `last` (k at most 64).
__attribute__((always_inline)) inline uint64_t positions(int k, int last)
{
    const uint64_t from = (~uint64_t(0) << (k & 63)) & -uint64_t(k < 64);
    return from & (~uint64_t(0) >> (63 - last));
}

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

// One block of a scan: decoded into the row's kept blocks at `index`, or
// (-1) passed over, keeping what later blocks need.
template <Kind K>
__attribute__((always_inline)) inline bool decodeBlock(BitReader &in, Scan &scan, int k, long index,
                                                       uint64_t *nonzero, BlockRow &row, int16_t *values)
{
    if constexpr (K == Kind::Sequential) {
        if (index < 0)
            return skipBlock(in, *scan.dcOf[k], *scan.acOf[k], scan.prediction[k]);
        row.decoded[index] = 1;
        return readBlock(in, *scan.dcOf[k], *scan.acOf[k], scan.quantOf[k], scan.prediction[k],
                         row.coefficients[index]);
    } else {
        const Block block{index >= 0 && values ? values + 64 * index : nullptr, nonzero};
        if constexpr (K == Kind::DcFirst)
            return dcFirst(in, scan, k, block);
        if constexpr (K == Kind::DcRefine) {
            dcRefine(in, scan, block);
            return true;
        }
        if constexpr (K == Kind::AcFirst)
            return acFirst(in, scan, block);
        return acRefine(in, scan, block);
    }
}

// The MCUs of a scan of several components in MCU row `row` of the frame,
// up to the last needed: sequential or DC scans, whose blocks are kept by
// MCU, and whose masks no refinement reads. Each MCU is decoded through a
// copy of the bit reader whose address is never taken, so that it is held
// in registers.
template <Kind K>
bool decodeMcuRow(Scan &scan, const BlockLayout &layout, BlockRow &row, int16_t *values)
{
    BitReader in = scan.in;
    // Of each block of an MCU, where its block column's kept blocks are,
    // and its row among them: -1 where its row is not kept.
    const int *keptOf[D_MAX_BLOCKS_IN_MCU];
    long offsetOf[D_MAX_BLOCKS_IN_MCU], strideOf[D_MAX_BLOCKS_IN_MCU];
    for (int b = 0; b < scan.blocksInMcu; ++b) {
        const BlockLayout::Component &component = layout.components[size_t(scan.component[scan.member[b]])];
        keptOf[b] = component.kept.data() + scan.dx[b];
        offsetOf[b] = component.neededRows[size_t(row.row * component.v + scan.dy[b])] ? scan.dy[b] : -1;
        strideOf[b] = component.h;
    }
    uint64_t spare = 0;
    const long first = long(row.row) * layout.mcuColumns, end = std::min(first + layout.mcuColumns, scan.lastMcu + 1);
    for (long m = first; m < end; ++m) {
        if (!restartIfDue(in, scan, layout, m))
            return false;
        if (scan.passing)
            continue;
        const long mx = m - first;
        for (int b = 0; b < scan.blocksInMcu; ++b) {
            const int base = keptOf[b][mx * strideOf[b]];
            if (!decodeBlock<K>(in, scan, scan.member[b], base < 0 || offsetOf[b] < 0 ? -1 : base + offsetOf[b], &spare,
                                row, values))
                return false;
        }
        if (!in.sound())
            return false;
    }
    scan.in = in;
    return true;
}

// The blocks of a scan of one component in MCU row `row` of the frame, up
// to the last needed.
template <Kind K>
bool decodeBlockRows(Scan &scan, const BlockLayout &layout, BlockRow &row, int16_t *values,
                     std::vector<uint64_t> &masks)
{
    BitReader in = scan.in;
    const BlockLayout::Component &component = layout.components[size_t(scan.component[0])];
    const int *kept = component.kept.data();
    const long firstRow = long(row.row) * component.v, endRow = std::min<long>(firstRow + component.v, component.down);
    uint64_t spare = 0;
    for (long by = firstRow; by < endRow; ++by) {
        const long offset = by - firstRow;
        uint64_t *maskRow = masks.empty() ? nullptr : masks.data() + offset * layout.mcuColumns * component.h;
        const long start = by * component.across, end = std::min(start + component.across, scan.lastMcu + 1);
        const bool needed = component.neededRows[size_t(by)];
        for (long m = start; m < end; ++m) {
            if (!restartIfDue(in, scan, layout, m))
                return false;
            if (scan.passing)
                continue;
            const long bx = m - start;
            const int base = needed ? kept[bx] : -1;
            if (!decodeBlock<K>(in, scan, 0, base < 0 ? -1 : base + offset, maskRow ? maskRow + bx : &spare, row,
                                values) ||
                !in.sound())
                return false;
        }
    }
    scan.in = in;
    return true;
}

// The scan's blocks in MCU row `row` of the frame.
template <Kind K>
bool decodeScanRow(Scan &scan, const BlockLayout &layout, BlockRow &row, int16_t *values,
                   std::vector<std::vector<uint64_t>> &nonzero)
{
    if (scan.count > 1)
        return decodeMcuRow<K>(scan, layout, row, values);
    return decodeBlockRows<K>(scan, layout, row, values, nonzero[size_t(scan.component[0])]);
}

// Derives a scan's tables, one DC and one AC for each component, those it
// uses; false where libjpeg would refuse one.
bool deriveTables(Scan &scan, const JHUFF_TBL *const *dc, const JHUFF_TBL *const *ac)
{
    // The tables the components use, each derived once however many share
    // it (as DC or AC: derived differently).
    const JHUFF_TBL *derived[2 * MAX_COMPS_IN_SCAN] = {};
    bool asDc[2 * MAX_COMPS_IN_SCAN] = {};
    size_t count = 0;
    size_t of[2 * MAX_COMPS_IN_SCAN] = {};
    const bool dcUsed = scan.kind == Kind::Sequential || scan.kind == Kind::DcFirst;
    const bool acUsed = scan.kind == Kind::Sequential || scan.kind == Kind::AcFirst || scan.kind == Kind::AcRefine;
    for (int k = 0; k < 2 * scan.count; ++k) {
        const bool isDc = k % 2 == 0;
        if (!(isDc ? dcUsed : acUsed))
            continue;
        const JHUFF_TBL *table = isDc ? dc[k / 2] : ac[k / 2];
        if (!table)
            return false;
        of[k] = std::find(derived, derived + count, table) - derived;
        while (of[k] < count && asDc[of[k]] != isDc)
            of[k] = std::find(derived + of[k] + 1, derived + count, table) - derived;
        if (of[k] == count) {
            derived[count] = table;
            asDc[count++] = isDc;
        }
    }
    scan.tables.reset(new Huffman[count]);   // not cleared: see Huffman::run
    scan.tableCount = count;
    for (size_t i = 0; i < count; ++i)
        if (!derive(derived[i], asDc[i], scan.kind == Kind::Sequential, scan.tables[i]))
            return false;
    for (int k = 0; k < scan.count; ++k) {
        scan.dcOf[k] = dcUsed ? &scan.tables[of[2 * k]] : nullptr;
        scan.acOf[k] = acUsed ? &scan.tables[of[2 * k + 1]] : nullptr;
    }
    return true;
}

} // namespace

EntropyDecoder::EntropyDecoder() = default;
EntropyDecoder::~EntropyDecoder() = default;

bool EntropyDecoder::setUp(const jpeg_decompress_struct &info, const BlockLayout &frame, const JpegScript *script,
                           const JOCTET *pending, size_t pendingBytes, int descriptor, double offset,
                           double memoryLimit)
{
    layout = &frame;
    progressive = info.progressive_mode;
    const int components = int(frame.components.size());
    // What libjpeg's progression check knows: the bits of each coefficient
    // coded so far (-1: none), in zigzag order.
    std::vector<std::array<int, 64>> bits(frame.components.size());
    for (std::array<int, 64> &b : bits)
        b.fill(-1);
    const size_t count = script ? script->scans.size() : 1;
    scans.resize(count);
    double buffers = 0;
    for (size_t s = 0; s < count; ++s) {
        Scan &scan = scans[s];
        const JHUFF_TBL *dc[MAX_COMPS_IN_SCAN] = {}, *ac[MAX_COMPS_IN_SCAN] = {};
        int Ah = 0;
        if (script) {
            const JpegScan &header = script->scans[s];
            scan.count = header.count;
            std::copy_n(header.component, MAX_COMPS_IN_SCAN, scan.component);
            std::copy_n(header.dc, MAX_COMPS_IN_SCAN, dc);
            std::copy_n(header.ac, MAX_COMPS_IN_SCAN, ac);
            scan.Ss = header.Ss;
            scan.Se = header.Se;
            Ah = header.Ah;
            scan.Al = header.Al;
            scan.interval = long(header.restartInterval);
            scan.source = {descriptor, header.data, std::vector<uint8_t>(size_t(1) << 14)};
        } else {
            scan.count = info.comps_in_scan;
            for (int k = 0; k < scan.count; ++k) {
                const jpeg_component_info *c = info.cur_comp_info[k];
                scan.component[k] = int(c - info.comp_info);
                if (scan.component[k] < 0 || scan.component[k] >= components || c->dc_tbl_no < 0 ||
                    c->dc_tbl_no >= NUM_HUFF_TBLS || c->ac_tbl_no < 0 || c->ac_tbl_no >= NUM_HUFF_TBLS)
                    return false;
                dc[k] = info.dc_huff_tbl_ptrs[c->dc_tbl_no];
                ac[k] = info.ac_huff_tbl_ptrs[c->ac_tbl_no];
            }
            scan.Ss = info.Ss;
            scan.Se = info.Se;
            Ah = info.Ah;
            scan.Al = info.Al;
            scan.interval = long(info.restart_interval);
            // The pending bytes are read where libjpeg holds them.
            scan.source = {descriptor, offset, std::vector<uint8_t>(size_t(1) << 16)};
        }
        if (scan.count < 1 || scan.count > MAX_COMPS_IN_SCAN)
            return false;
        if (!progressive) {
            // Every block whole (else libjpeg warns), each component once.
            if (scan.Ss != 0 || scan.Se != 63 || Ah != 0 || scan.Al != 0)
                return false;
            for (int k = 0; k < scan.count; ++k) {
                int &coded = bits[size_t(scan.component[k])][0];
                if (coded >= 0)
                    return false;
                coded = 0;
            }
        } else {
            // libjpeg's check of the scan (start_pass_phuff_decoder): what
            // it refuses, then what it warns about. A band coded a second
            // time from its first bit, which libjpeg takes silently, is
            // declined too.
            const bool dcBand = scan.Ss == 0;
            if ((dcBand ? scan.Se != 0 : scan.Ss > scan.Se || scan.Se > 63 || scan.count != 1) ||
                (Ah != 0 && scan.Al != Ah - 1) || scan.Al > 13)
                return false;
            for (int k = 0; k < scan.count; ++k) {
                std::array<int, 64> &coded = bits[size_t(scan.component[k])];
                if (!dcBand && coded[0] < 0)
                    return false;
                for (int i = scan.Ss; i <= scan.Se; ++i) {
                    if (Ah != std::max(coded[size_t(i)], 0) || (Ah == 0 && coded[size_t(i)] >= 0))
                        return false;
                    coded[size_t(i)] = scan.Al;
                }
            }
            scan.kind = dcBand ? (Ah ? Kind::DcRefine : Kind::DcFirst) : (Ah ? Kind::AcRefine : Kind::AcFirst);
        }
        if (!deriveTables(scan, dc, ac))
            return false;
        scan.band = positions(scan.Ss, std::min(scan.Se, 63));
        for (int k = 0; k < scan.count; ++k)
            scan.quantOf[k] = frame.components[size_t(scan.component[k])].quant;
        // The blocks of an MCU, in the scan's order; one in a scan of one
        // component.
        scan.blocksInMcu = 0;
        for (int k = 0; k < scan.count; ++k) {
            const BlockLayout::Component &c = frame.components[size_t(scan.component[k])];
            const int h = scan.count > 1 ? c.h : 1, v = scan.count > 1 ? c.v : 1;
            for (int y = 0; y < v; ++y)
                for (int x = 0; x < h; ++x) {
                    if (scan.blocksInMcu == D_MAX_BLOCKS_IN_MCU)
                        return false;
                    const int b = scan.blocksInMcu++;
                    scan.member[b] = k;
                    scan.dx[b] = x;
                    scan.dy[b] = y;
                }
        }
        if (scan.count > 1) {
            scan.lastMcu = long(frame.lastRow) * frame.mcuColumns + frame.lastColumn;
        } else {
            const BlockLayout::Component &c = frame.components[size_t(scan.component[0])];
            const long by = std::min<long>(long(frame.lastRow + 1) * c.v, c.down) - 1;
            scan.lastMcu = by * c.across + std::min<long>(c.across, long(frame.lastColumn + 1) * c.h) - 1;
        }
        buffers += double(scan.source.piece.size()) +
                   double(scan.tableCount * (sizeof(Huffman) - (scan.kind == Kind::Sequential ? 0 : sizeof Huffman::run)));
    }
    // Every coefficient libjpeg's smoothing looks at (the first 6 up to
    // libjpeg-turbo 2.0, the first 10 since) coded to its last bit, in
    // every component: libjpeg then decodes as coded.
    for (const std::array<int, 64> &coded : bits)
        for (int i = 0; i < (progressive ? 10 : 1); ++i)
            if (coded[size_t(i)] != 0)
                return false;

    // A progressive file's row of coefficients, and the masks of the
    // components a refinement scan reads.
    const size_t kept = size_t(frame.keptBlocks);
    nonzero.assign(size_t(components), {});
    if (progressive) {
        buffers += double(kept) * 64 * sizeof(int16_t);
        for (const Scan &scan : scans)
            if (scan.kind == Kind::AcFirst || scan.kind == Kind::AcRefine) {
                const BlockLayout::Component &c = frame.components[size_t(scan.component[0])];
                std::vector<uint64_t> &masks = nonzero[size_t(scan.component[0])];
                if (masks.empty())
                    buffers += double(c.v) * frame.mcuColumns * c.h * sizeof(uint64_t);
                masks.resize(size_t(c.v) * size_t(frame.mcuColumns * c.h));
            }
    }
    if (buffers > memoryLimit)
        return false;
    if (progressive) {
        values.assign(kept * 64, 0);
    }
    for (Scan &scan : scans)
        scan.in = script ? BitReader{&scan.source, scan.source.piece.data(), scan.source.piece.data()}
                         : BitReader{&scan.source, pending, pending + pendingBytes};
    return true;
}

bool EntropyDecoder::decodeRow(BlockRow &row)
{
    const BlockLayout &frame = *layout;
    const bool needed = frame.neededRows[size_t(row.row)];
    int16_t *kept = progressive && needed ? values.data() : nullptr;
    for (std::vector<uint64_t> &masks : nonzero)
        std::fill(masks.begin(), masks.end(), 0);
    for (Scan &scan : scans) {
        bool done = false;
        switch (scan.kind) {
        case Kind::Sequential: done = decodeScanRow<Kind::Sequential>(scan, frame, row, kept, nonzero); break;
        case Kind::DcFirst: done = decodeScanRow<Kind::DcFirst>(scan, frame, row, kept, nonzero); break;
        case Kind::DcRefine: done = decodeScanRow<Kind::DcRefine>(scan, frame, row, kept, nonzero); break;
        case Kind::AcFirst: done = decodeScanRow<Kind::AcFirst>(scan, frame, row, kept, nonzero); break;
        case Kind::AcRefine: done = decodeScanRow<Kind::AcRefine>(scan, frame, row, kept, nonzero); break;
        }
        if (!done)
            return false;
    }
    if (!kept)
        return true;
    // The row's kept blocks, complete now: their coefficients dequantised,
    // and the values cleared for the next row.
    for (size_t ci = 0; ci < frame.components.size(); ++ci) {
        const BlockLayout::Component &c = frame.components[ci];
        const size_t across = size_t(frame.mcuColumns * c.h);
        for (int y = 0; y < c.v; ++y) {
            if (!c.neededRows[size_t(row.row * c.v + y)])
                continue;
            for (size_t bx = 0; bx < across; ++bx) {
                if (c.kept[bx] < 0)
                    continue;
                const long index = c.kept[bx] + y;
                int16_t *value = values.data() + 64 * index;
                Coefficients &block = row.coefficients[index];
                if (!dequantiseBlock(value, c.quant, block))
                    return false;
                row.decoded[index] = 1;
            }
        }
    }
    return true;
}

} // namespace sixfold
