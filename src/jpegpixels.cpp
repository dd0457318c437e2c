// Decoding chosen pixels of a baseline JPEG exactly as libjpeg-turbo does.
//
// Where any block of a JPEG begins is known only by reading the Huffman
// codes before it, but passing over a block needs just their lengths: that
// is done with tables that take several codes at a time. Only the blocks
// holding the chosen pixels (and the chroma around them that smoothing
// reads) are decoded, and of those only the samples read are computed, with
// libjpeg's own integer arithmetic: the accurate integer inverse DCT, whose
// passes have no rounding inside and so are sums of products, "fancy"
// chroma upsampling and the YCbCr table conversion. libjpeg-turbo's SIMD
// code gives the same bits as that plain code within 16-bit ranges, which
// are checked for every value computed.
// That arithmetic follows libjpeg-turbo's jidctint.c, jdsample.c and
// jdcolor.c, under the IJG licence (see data/copyright).

#include "jpegpixels.h"

#include "rowreader.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The arithmetic below is libjpeg-turbo's as of 2.0.3 (when 4:4:0
// upsampling took its present rounding) up to 2.1, and that of 3.1, proven
// on 3.1.3 (Debian unstable) with the decoder used for every layout the
// standard allows and over the fuzz corpus, as on 2.1.5: with any other
// libjpeg the decoder is left out, and every file goes to libjpeg itself.
// SIXFOLD_TRY_BLOCK_DECODER builds it whatever the version, to prove it
// against another libjpeg-turbo (never for the program).
#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && \
    ((LIBJPEG_TURBO_VERSION_NUMBER >= 2000003 && LIBJPEG_TURBO_VERSION_NUMBER < 2002000) || \
     (LIBJPEG_TURBO_VERSION_NUMBER >= 3001000 && LIBJPEG_TURBO_VERSION_NUMBER < 3002000))
#define KnownLibjpeg 1
#elif defined(SIXFOLD_TRY_BLOCK_DECODER)
#define KnownLibjpeg 1
#else
#define KnownLibjpeg 0
#endif

namespace sixfold {

namespace {

constexpr int FastBits = 11;   // bits of a code looked up at once
constexpr int RunBits = 12;    // bits looked up for several AC codes at once

// The signed value of `size` extra bits (HUFF_EXTEND in jdhuff.c).
inline int extend(uint32_t value, int size)
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
    // (8), ended by end-of-block (1).
    uint32_t run[1 << RunBits] = {};
    int32_t maxcode[18] = {};
    int32_t valoffset[18] = {};
    uint8_t values[256] = {};
};

// False where libjpeg would refuse the table, or put in one of its own.
bool derive(const JHUFF_TBL *table, bool dc, Huffman &h)
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
    if (dc)
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
        if (codes)
            h.run[bits] = uint32_t(used | advanced << 5 | before << 13 | int(end) << 21);
    }
    return true;
}

// The file behind the coded data, read in large pieces.
struct Source
{
    std::FILE *file;
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
        end = at + left + (source->file ? std::fread(piece.data() + left, 1, piece.size() - left, source->file) : 0);
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
inline int decode(BitReader &in, const Huffman &h)
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
inline bool readDc(BitReader &in, const Huffman &dc, uint32_t &prediction)
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
inline bool skipBlock(BitReader &in, const Huffman &dc, const Huffman &ac, uint32_t &prediction)
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

// A block's coefficients that are not zero (and the DC, which may be),
// dequantised, with their places in natural order: each place once, as even
// in corrupt data a run past the end writes only the last.
struct Coefficients
{
    int16_t value[64];
    uint8_t place[64];
    uint8_t count;
};

// libjpeg keeps a coefficient in 16 bits, then dequantises it; beyond
// these values its 16-bit SIMD inverse DCT could give other bits.
inline bool dequantise(int32_t coefficient, int16_t quant, int16_t &value)
{
    const int32_t v = int32_t(int16_t(coefficient)) * quant;
    value = int16_t(v);
    return v >= -2047 && v <= 2047;
}

// Decodes a block's coefficients; false also where one is out of that range.
inline bool readBlock(BitReader &in, const Huffman &dc, const Huffman &ac, const int16_t *quant, uint32_t &prediction,
                      Coefficients &block)
{
    if (!readDc(in, dc, prediction) || !dequantise(int32_t(prediction), quant[0], block.value[0]))
        return false;
    block.place[0] = 0;
    int count = 1;
    for (int k = 1; k < 64; ++k) {
        in.fill();
        int zeros, bits, value;
        if (const int32_t w = ac.whole[in.peek(FastBits)]) {
            in.drop(w & 31);
            zeros = w >> 5 & 15;
            bits = w >> 9 & 15;
            value = w >> 16;
        } else {
            const int symbol = decode(in, ac);
            if (symbol < 0)
                return false;
            zeros = symbol >> 4;
            bits = symbol & 15;
            in.fill();
            value = bits ? extend(in.take(bits), bits) : 0;
        }
        if (bits) {
            k += zeros;
            const int place = naturalOrder[size_t(k)];
            if (!dequantise(value, quant[place], block.value[count]))
                return false;
            block.place[count++] = uint8_t(place);
        } else if (zeros != 15) {
            break;
        } else {
            k += 15;
        }
    }
    block.count = uint8_t(count);
    return true;
}

// The butterfly of libjpeg's accurate integer inverse DCT (jidctint.c),
// which both its passes run over eight values: the columns of a block, then
// its rows of column results.
template <class T> void inverseDct8(const T *in, int stride, T *result)
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
    int16_t weight[8][8];   // [output][input]
    DctWeights()
    {
        for (int k = 0; k < 8; ++k) {
            int64_t unit[8] = {}, result[8];
            unit[k] = 1;
            inverseDct8(unit, 1, result);
            for (int r = 0; r < 8; ++r)
                weight[r][k] = int16_t(result[r]);
        }
    }
};
const DctWeights dctWeights;

// Both passes stop (false) unless the dequantised coefficients, the column
// results and the samples they compute stay where libjpeg-turbo's 16-bit
// SIMD versions give the same bits. A sample reads only its own row of
// column results, in either.

// Row `row` of the column results of a block, from its coefficients alone:
// what libjpeg's first pass gives there, summed over those not zero.
bool inverseDctColumns(const Coefficients &block, int row, int16_t *columns)
{
    const int16_t *weight = dctWeights.weight[row];
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

// The sample in `column` of a row of samples, from that row of column
// results, as libjpeg's second pass gives it. The sum fits in 32 bits: the
// weights' sizes add up to 61214 at most, times 16383.
inline bool inverseDctSample(const int16_t *columns, int column, uint8_t &sample)
{
    const int16_t *weight = dctWeights.weight[column];
    int32_t sum = 0;
    for (int j = 0; j < 8; ++j)
        sum += int32_t(weight[j]) * columns[j];
    const int32_t v = (sum + (1 << 17)) >> 18;
    sample = uint8_t(std::clamp(v + 128, 0, 255));
    return v >= -384 && v <= 383;
}

// libjpeg's YCbCr to RGB tables (jdcolor.c).
struct ColourTables
{
    int crRed[256], cbBlue[256];
    int64_t crGreen[256], cbGreen[256];
    ColourTables()
    {
        auto fix = [](double x) { return int64_t(x * 65536 + 0.5); };
        for (int i = 0; i < 256; ++i) {
            const int64_t x = i - 128;
            crRed[i] = int((fix(1.40200) * x + 32768) >> 16);
            cbBlue[i] = int((fix(1.77200) * x + 32768) >> 16);
            crGreen[i] = -fix(0.71414) * x;
            cbGreen[i] = -fix(0.34414) * x + 32768;
        }
    }
};

enum class Upsampling { None, Across, Down, Both };   // chroma halved across, down, both

struct Component
{
    int h = 1, v = 1;       // blocks in an MCU
    int hShift = 0, vShift = 0;   // their logarithms
    int first = 0;          // its first block in the MCU
    int width = 0, height = 0;   // samples
    Upsampling upsampling = Upsampling::None;
    Huffman *dc = nullptr, *ac = nullptr;
    int16_t quant[64] = {};
};

struct Decoder
{
    const jpeg_decompress_struct &info;
    std::vector<Component> components;
    std::vector<Huffman> tables;
    int mcuWidth = 8, mcuHeight = 8, mcuColumns = 0, mcuRows = 0, blocksInMcu = 0;
    std::vector<int> blockComponent;   // of each block of an MCU

    // The decoded blocks of the MCU rows still needed, three at a time.
    std::vector<int> slotOfColumn;   // -1 for MCU columns not needed
    int neededColumns = 0;
    struct Band
    {
        int row = -1;
        std::vector<Coefficients> coefficients;
        std::vector<uint8_t> decoded;    // of each block
    } bands[3];
    bool failed = false;

    explicit Decoder(const jpeg_decompress_struct &header) : info(header) {}

    bool setUp()
    {
        if (info.progressive_mode || info.arith_code || info.data_precision != 8 || info.dct_method != JDCT_ISLOW ||
            !info.do_fancy_upsampling ||
            info.comps_in_scan != info.num_components || info.Ss != 0 || info.Se != 63 || info.Ah != 0 ||
            info.Al != 0 || info.image_width < 3 || info.CCIR601_sampling)
            return false;
        const bool gray = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE;
        if (!gray && !(info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr))
            return false;
        const jpeg_component_info &luma = info.comp_info[0];
        if (!gray) {
            if (luma.h_samp_factor != info.max_h_samp_factor || luma.v_samp_factor != info.max_v_samp_factor ||
                info.max_h_samp_factor > 2 || info.max_v_samp_factor > 2)
                return false;
            for (int c = 1; c < 3; ++c)
                if (info.comp_info[c].h_samp_factor != 1 || info.comp_info[c].v_samp_factor != 1)
                    return false;
            mcuWidth = 8 * info.max_h_samp_factor;
            mcuHeight = 8 * info.max_v_samp_factor;
        }
        const int width = int(info.image_width), height = int(info.image_height);
        mcuColumns = (width + mcuWidth - 1) / mcuWidth;
        mcuRows = (height + mcuHeight - 1) / mcuHeight;
        components.resize(size_t(info.num_components));
        // In the scan's order, which gives the order of blocks in an MCU.
        for (int s = 0; s < info.comps_in_scan; ++s) {
            const jpeg_component_info *scan = info.cur_comp_info[s];
            const int index = int(scan - info.comp_info);
            if (index < 0 || index >= info.num_components)
                return false;
            Component &c = components[size_t(index)];
            if (!gray) {
                c.h = scan->h_samp_factor;
                c.v = scan->v_samp_factor;
                c.hShift = c.h / 2;
                c.vShift = c.v / 2;
            }
            c.first = blocksInMcu;
            blocksInMcu += c.h * c.v;
            blockComponent.insert(blockComponent.end(), size_t(c.h * c.v), index);
            const int hs = gray ? 1 : info.max_h_samp_factor / c.h, vs = gray ? 1 : info.max_v_samp_factor / c.v;
            c.width = (width + hs - 1) / hs;
            c.height = (height + vs - 1) / vs;
            c.upsampling = hs == 2 ? (vs == 2 ? Upsampling::Both : Upsampling::Across)
                                   : (vs == 2 ? Upsampling::Down : Upsampling::None);
            // libjpeg repeats rather than smooths chroma two samples wide.
            if (hs == 2 && c.width <= 2)
                return false;
            const JQUANT_TBL *quant = scan->quant_tbl_no >= 0 && scan->quant_tbl_no < NUM_QUANT_TBLS
                                          ? info.quant_tbl_ptrs[scan->quant_tbl_no]
                                          : nullptr;
            if (!quant || scan->dc_tbl_no < 0 || scan->dc_tbl_no > 3 || scan->ac_tbl_no < 0 || scan->ac_tbl_no > 3)
                return false;
            for (int i = 0; i < 64; ++i)
                c.quant[i] = int16_t(quant->quantval[i]);
        }
        return true;
    }

    // The Huffman tables, once the decoder is to be used (they take longer
    // than deciding). A table two components share is derived twice, alike.
    bool deriveTables()
    {
        tables.resize(8);
        for (int s = 0; s < info.comps_in_scan; ++s) {
            const jpeg_component_info *scan = info.cur_comp_info[s];
            Component &c = components[size_t(scan - info.comp_info)];
            c.dc = &tables[size_t(scan->dc_tbl_no)];
            c.ac = &tables[size_t(4 + scan->ac_tbl_no)];
            if (!derive(info.dc_huff_tbl_ptrs[scan->dc_tbl_no], true, *c.dc) ||
                !derive(info.ac_huff_tbl_ptrs[scan->ac_tbl_no], false, *c.ac))
                return false;
        }
        return true;
    }

    // Marks the MCU rows, and the MCU columns, holding the samples of a
    // component that libjpeg's fancy upsampling (jdsample.c) reads for
    // output row y, and output column x: the nearer sample and the further
    // one where the chroma is halved that way, clamped to the component's
    // edges as libjpeg repeats them. The MCUs an output pixel reads are
    // those in both.
    void markRow(int index, int y, std::vector<char> &rows)
    {
        const Component &c = components[size_t(index)];
        const bool down = c.upsampling == Upsampling::Down || c.upsampling == Upsampling::Both;
        for (const int sy : down ? std::array<int, 2>{y >> 1, y & 1 ? (y >> 1) + 1 : (y >> 1) - 1}
                                 : std::array<int, 2>{y, y})
            rows[size_t((std::clamp(sy, 0, c.height - 1) >> 3) >> c.vShift)] = 1;
    }
    void markColumn(int index, int x)
    {
        const Component &c = components[size_t(index)];
        const bool across = c.upsampling == Upsampling::Across || c.upsampling == Upsampling::Both;
        for (const int sx : across ? std::array<int, 2>{x >> 1, x & 1 ? (x >> 1) + 1 : (x >> 1) - 1}
                                   : std::array<int, 2>{x, x})
            slotOfColumn[size_t((std::clamp(sx, 0, c.width - 1) >> 3) >> c.hShift)] = 0;
    }

    // The sample columns of a component that the chosen columns read, in
    // order, each once: its block among a band's and its column in that
    // block; and for each chosen column, the nearer and further one.
    struct SampleColumn
    {
        uint32_t block, column;
    };
    std::vector<SampleColumn> sampleColumns[3];
    std::vector<uint32_t> taps[3][2];

    void prepare(const std::vector<int> &columns)
    {
        for (size_t index = 0; index < components.size(); ++index) {
            const Component &c = components[index];
            const bool across = c.upsampling == Upsampling::Across || c.upsampling == Upsampling::Both;
            std::vector<int> read[2];
            for (const int x : columns) {
                const int nearer = across ? x >> 1 : x, further = across ? (x & 1 ? nearer + 1 : nearer - 1) : x;
                read[0].push_back(std::clamp(nearer, 0, c.width - 1));
                read[1].push_back(std::clamp(further, 0, c.width - 1));
            }
            std::vector<int> all = read[0];
            all.insert(all.end(), read[1].begin(), read[1].end());
            std::sort(all.begin(), all.end());
            all.erase(std::unique(all.begin(), all.end()), all.end());
            for (const int sx : all) {
                const int bx = sx >> 3, slot = slotOfColumn[size_t(bx >> c.hShift)];
                failed |= slot < 0;
                sampleColumns[index].push_back(
                    {uint32_t(std::max(slot, 0) * blocksInMcu + c.first + (bx & c.hShift)), uint32_t(sx & 7)});
            }
            for (int which = 0; which < 2; ++which)
                for (const int sx : read[which])
                    taps[index][which].push_back(
                        uint32_t(std::lower_bound(all.begin(), all.end(), sx) - all.begin()));
        }
    }

    // A sample row of a component: the band holding it, and where.
    struct Line
    {
        Band *band;
        uint32_t blockRow;   // added to a sample column's block
        uint32_t row;        // in the block
    };

    Line line(int index, int sy)
    {
        const Component &c = components[size_t(index)];
        sy = std::clamp(sy, 0, c.height - 1);
        const int by = sy >> 3, my = by >> c.vShift;
        Band &band = bands[my % 3];
        failed |= band.row != my;
        return {&band, uint32_t((by & c.vShift) << c.hShift), uint32_t(sy & 7)};
    }

    // A component's samples at its sample columns in row sy, each block's
    // inverse DCT done only as far as they read it. The last few rows are
    // kept, as the next output row may read them again.
    struct SampleRow
    {
        int sy = -1;   // none yet
        long used = 0;
        std::vector<uint8_t> samples;
    };
    SampleRow kept[3][3];
    long uses = 0;

    const uint8_t *sampleRow(int index, int sy)
    {
        sy = std::clamp(sy, 0, components[size_t(index)].height - 1);
        SampleRow *row = &kept[index][0];
        for (SampleRow &k : kept[index]) {
            if (k.sy == sy) {
                k.used = ++uses;
                return k.samples.data();
            }
            if (k.used < row->used)
                row = &k;
        }
        const Line l = line(index, sy);
        if (failed)
            return nullptr;
        const std::vector<SampleColumn> &at = sampleColumns[index];
        row->samples.resize(at.size());
        int16_t columns[8] = {};
        size_t last = SIZE_MAX;
        for (size_t i = 0; i < at.size(); ++i) {
            const size_t block = at[i].block + l.blockRow;
            if (block != last) {
                last = block;
                if (!l.band->decoded[block] ||
                    !inverseDctColumns(l.band->coefficients[block], int(l.row), columns)) {
                    failed = true;
                    return nullptr;
                }
            }
            if (!inverseDctSample(columns, int(at[i].column), row->samples[i])) {
                failed = true;
                return nullptr;
            }
        }
        row->sy = sy;
        row->used = ++uses;
        return row->samples.data();
    }

    // Output row y at the chosen columns, blue-green-red: each component
    // upsampled as libjpeg does, nearer sample 3/4 and further 1/4, then
    // libjpeg's YCbCr conversion.
    std::vector<int> values[3];
    bool emit(int y, const std::vector<int> &columns, uint8_t *out)
    {
        static const ColourTables tables;
        const size_t count = columns.size();
        for (size_t index = 0; index < components.size(); ++index) {
            const Upsampling u = components[index].upsampling;
            const bool down = u == Upsampling::Down || u == Upsampling::Both;
            const uint8_t *n = sampleRow(int(index), down ? y >> 1 : y);
            const uint8_t *f = down ? sampleRow(int(index), y & 1 ? (y >> 1) + 1 : (y >> 1) - 1) : n;
            if (failed)
                return false;
            const uint32_t *t0 = taps[index][0].data(), *t1 = taps[index][1].data();
            std::vector<int> &value = values[index];
            value.resize(count);
            const int downBias = y & 1 ? 2 : 1;
            switch (u) {
            case Upsampling::None:
                for (size_t i = 0; i < count; ++i)
                    value[i] = n[t0[i]];
                break;
            case Upsampling::Across:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * n[t0[i]] + n[t1[i]] + (columns[i] & 1 ? 2 : 1)) >> 2;
                break;
            case Upsampling::Down:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * n[t0[i]] + f[t0[i]] + downBias) >> 2;
                break;
            case Upsampling::Both:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * (3 * n[t0[i]] + f[t0[i]]) + 3 * n[t1[i]] + f[t1[i]] + (columns[i] & 1 ? 7 : 8)) >>
                               4;
                break;
            }
        }
        if (components.size() == 1) {
            for (size_t i = 0; i < count; ++i, out += 3)
                out[0] = out[1] = out[2] = uint8_t(values[0][i]);
            return true;
        }
        auto limit = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
        for (size_t i = 0; i < count; ++i, out += 3) {
            const int luma = values[0][i], cb = values[1][i], cr = values[2][i];
            out[2] = limit(luma + tables.crRed[cr]);
            out[1] = limit(luma + int((tables.cbGreen[cb] + tables.crGreen[cr]) >> 16));
            out[0] = limit(luma + tables.cbBlue[cb]);
        }
        return true;
    }
};

} // namespace

namespace {

bool decodePixels(const jpeg_decompress_struct &info, const JOCTET *pending, size_t pendingBytes, std::FILE *file,
                  double memoryLimit, const std::vector<int> &rows, const std::vector<int> &columns, bool always,
                  const std::function<void(int row, const unsigned char *bgr)> &put)
{
    Decoder d(info);
    if (rows.empty() || columns.empty() || !d.setUp())
        return false;

    // Which MCUs the chosen pixels read.
    std::vector<char> neededRows(size_t(d.mcuRows), 0);
    d.slotOfColumn.assign(size_t(d.mcuColumns), -1);
    for (size_t c = 0; c < d.components.size(); ++c) {
        for (const int y : rows)
            d.markRow(int(c), y, neededRows);
        for (const int x : columns)
            d.markColumn(int(c), x);
    }
    for (int &slot : d.slotOfColumn)
        if (slot == 0)
            slot = d.neededColumns++;
    // Where most MCUs are needed anyway, libjpeg's own decoding is faster,
    // unless the chosen pixels are so sparse (a percent of the picture or
    // less, as the panel's in a big photo) that computing each of them
    // costs less than libjpeg's inverse DCT of every block.
    const long neededMcus = long(d.neededColumns) * std::count(neededRows.begin(), neededRows.end(), 1);
    const double chosen = double(rows.size()) * double(columns.size());
    if (!always && neededMcus > long(d.mcuColumns) * d.mcuRows / 4 &&
        chosen * 100 > double(info.image_width) * double(info.image_height))
        return false;
    if (!d.deriveTables())
        return false;
    // Three bands of coefficients, and the data read.
    const size_t blocks = size_t(d.neededColumns) * size_t(d.blocksInMcu);
    if (3.0 * double(blocks) * (sizeof(Coefficients) + 1) + double(std::max(pendingBytes, size_t(1) << 18)) >
        memoryLimit)
        return false;
    for (Decoder::Band &band : d.bands) {
        band.coefficients.resize(blocks);

        band.decoded.resize(blocks);

    }
    d.prepare(columns);
    if (d.failed)
        return false;
    int lastRow = d.mcuRows - 1;
    while (!neededRows[size_t(lastRow)])
        --lastRow;

    Source source{file, std::vector<uint8_t>(std::max(pendingBytes, size_t(1) << 18))};
    std::memcpy(source.piece.data(), pending, pendingBytes);
    BitReader in{&source, source.piece.data(), source.piece.data() + pendingBytes};
    // Each block's tables and DC prediction.
    uint32_t prediction[4] = {};
    const Huffman *dcOf[10], *acOf[10];
    const int16_t *quantOf[10];
    uint32_t *predictionOf[10];
    for (int b = 0; b < d.blocksInMcu; ++b) {
        const int c = d.blockComponent[size_t(b)];
        dcOf[b] = d.components[size_t(c)].dc;
        acOf[b] = d.components[size_t(c)].ac;
        quantOf[b] = d.components[size_t(c)].quant;
        predictionOf[b] = &prediction[c];
    }
    std::vector<uint8_t> out(columns.size() * 3);
    size_t nextRow = 0;
    auto emitRowsOf = [&](int mcuRow) {
        for (; nextRow < rows.size() && rows[nextRow] / d.mcuHeight <= mcuRow; ++nextRow) {
            if (!d.emit(rows[nextRow], columns, out.data()))
                return false;
            put(rows[nextRow], out.data());
        }
        return true;
    };
    int lastColumn = d.mcuColumns - 1;
    while (d.slotOfColumn[size_t(lastColumn)] < 0)
        --lastColumn;
    // With restart markers, an interval holding none of the MCUs needed is
    // passed over to the marker that ends it, after which the prediction
    // starts again.
    const long interval = long(info.restart_interval), lastMcu = long(lastRow) * d.mcuColumns + lastColumn;
    auto neededFrom = [&](long first) {
        for (long m = first; m < first + interval && m <= lastMcu; ++m)
            if (neededRows[size_t(m / d.mcuColumns)] && d.slotOfColumn[size_t(m % d.mcuColumns)] >= 0)
                return true;
        return false;
    };
    int nextRestart = 0;
    bool passing = false;
    for (int my = 0; my <= lastRow; ++my) {
        Decoder::Band &band = d.bands[my % 3];
        const bool needed = neededRows[size_t(my)];
        band.row = needed ? my : -1;
        std::fill(band.decoded.begin(), band.decoded.end(), uint8_t(0));

        for (int mx = 0; mx < (my == lastRow ? lastColumn + 1 : d.mcuColumns); ++mx) {
            const long mcu = long(my) * d.mcuColumns + mx;
            if (interval && mcu % interval == 0) {
                if (mcu) {
                    if (!in.restart(nextRestart))
                        return false;
                    nextRestart = (nextRestart + 1) & 7;
                    std::fill_n(prediction, 4, 0u);
                }
                passing = !neededFrom(mcu);
                if (passing && !in.passTo(nextRestart))
                    return false;
            }
            if (passing)
                continue;
            const int slot = needed ? d.slotOfColumn[size_t(mx)] : -1;
            BitReader r = in;
            for (int b = 0; b < d.blocksInMcu; ++b) {
                if (slot < 0) {
                    if (!skipBlock(r, *dcOf[b], *acOf[b], *predictionOf[b]))
                        return false;
                } else {
                    const size_t block = size_t(slot) * size_t(d.blocksInMcu) + size_t(b);
                    if (!readBlock(r, *dcOf[b], *acOf[b], quantOf[b], *predictionOf[b], band.coefficients[block]))
                        return false;
                    band.decoded[block] = 1;
                }
            }
            in = r;
            if (!in.sound())
                return false;
        }
        // The rows of the MCU row above have all they read now.
        if (!emitRowsOf(my - 1))
            return false;
    }
    return emitRowsOf(lastRow) && nextRow == rows.size();
}

// libjpeg's error manager, jumping back instead of ending the program.
struct Jumper
{
    jpeg_error_mgr manager{};   // first, so that libjpeg's pointer to it is one to this
    std::jmp_buf jump;

    explicit Jumper(jpeg_common_struct &common)
    {
        common.err = jpeg_std_error(&manager);
        manager.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Jumper *>(c->err)->jump, 1); };
        manager.output_message = [](j_common_ptr) {};
    }
};

// A small picture of gradients and noise as libjpeg writes it, gray or
// with the luma sampled h x v; empty if it cannot.
std::vector<uint8_t> samplePicture(int width, int height, bool gray, int h, int v)
{
    std::vector<uint8_t> pixels(size_t(width * height * 3));
    uint32_t seed = 7;
    for (size_t i = 0; i < pixels.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        pixels[i] = uint8_t(i / 3 % size_t(width) * 5 + i / 3 / size_t(width) * (2 + i % 3) + (seed >> 16) % 96);
    }
    jpeg_compress_struct info{};
    Jumper errors(*reinterpret_cast<jpeg_common_struct *>(&info));
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    std::vector<uint8_t> file;
    if (!setjmp(errors.jump)) {
        jpeg_create_compress(&info);
        jpeg_mem_dest(&info, &bytes, &size);
        info.image_width = JDIMENSION(width);
        info.image_height = JDIMENSION(height);
        info.input_components = 3;
        info.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 85, TRUE);
        if (gray)
            jpeg_set_colorspace(&info, JCS_GRAYSCALE);
        info.comp_info[0].h_samp_factor = h;
        info.comp_info[0].v_samp_factor = v;
        jpeg_start_compress(&info, TRUE);
        for (JSAMPROW row = pixels.data(); info.next_scanline < info.image_height; row += width * 3)
            jpeg_write_scanlines(&info, &row, 1);
        jpeg_finish_compress(&info);
        file.assign(bytes, bytes + size);
    }
    jpeg_destroy_compress(&info);
    std::free(bytes);
    return file;
}

// The picture decoded by libjpeg, or by decodePixels; empty if it fails.
std::vector<uint8_t> decodeBothWays(const std::vector<uint8_t> &file, bool ours)
{
    jpeg_decompress_struct info{};
    Jumper errors(*reinterpret_cast<jpeg_common_struct *>(&info));
    std::vector<uint8_t> out;
    std::vector<int> rows, columns;
    if (!setjmp(errors.jump)) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_EXT_BGR;
        jpeg_calc_output_dimensions(&info);
        const size_t stride = size_t(info.output_width) * 3;
        out.resize(stride * info.output_height);
        for (int y = 0; y < int(info.output_height); ++y)
            rows.push_back(y);
        for (int x = 0; x < int(info.output_width); ++x)
            columns.push_back(x);
        if (ours) {
            if (!decodePixels(info, info.src->next_input_byte, info.src->bytes_in_buffer, nullptr, 1e9, rows, columns,
                              true, [&](int y, const unsigned char *bgr) {
                                  std::copy(bgr, bgr + stride, out.begin() + long(size_t(y) * stride));
                              }))
                out.clear();
        } else {
            jpeg_start_decompress(&info);
            for (JSAMPROW row = out.data(); info.output_scanline < info.output_height; row += stride)
                jpeg_read_scanlines(&info, &row, 1);
            jpeg_finish_decompress(&info);
        }
    } else {
        out.clear();
    }
    jpeg_destroy_decompress(&info);
    return out;
}

// Whether the decoder gives what the libjpeg in use gives, on a picture of
// each kind it decodes: checked once, as libjpeg-turbo could one day compute
// otherwise than the version the decoder follows.
bool computesAsLibjpeg()
{
    const struct { bool gray; int h, v; } kinds[] = {{true, 1, 1}, {false, 1, 1}, {false, 2, 1}, {false, 1, 2},
                                                      {false, 2, 2}};
    for (const auto &kind : kinds) {
        const std::vector<uint8_t> file = samplePicture(45, 37, kind.gray, kind.h, kind.v);
        const std::vector<uint8_t> expected = decodeBothWays(file, false);
        if (file.empty() || expected.empty() || decodeBothWays(file, true) != expected)
            return false;
    }
    return true;
}

} // namespace

bool decodeJpegPixels(const jpeg_decompress_struct &info, const JOCTET *pending, size_t pendingBytes,
                      std::FILE *file, double memoryLimit, const std::vector<int> &rows,
                      const std::vector<int> &columns,
                      const std::function<void(int row, const unsigned char *bgr)> &put)
{
#if !KnownLibjpeg
    return false;
#else
    bool always = false;
#ifdef SIXFOLD_READER_TESTING
    if (readerTesting.blocks == ReaderTesting::Blocks::Never)
        return false;
    always = readerTesting.blocks == ReaderTesting::Blocks::Always;
#endif
    return blockDecoderAgreesWithLibjpeg() &&
           decodePixels(info, pending, pendingBytes, file, memoryLimit, rows, columns, always, put);
#endif
}

bool blockDecoderBuilt()
{
    return KnownLibjpeg;
}

bool blockDecoderAgreesWithLibjpeg()
{
    static const bool alike = KnownLibjpeg && computesAsLibjpeg();
    return alike;
}

} // namespace sixfold
