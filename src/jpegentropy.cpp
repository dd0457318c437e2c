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

#include "jpeghuff.h"
#include "jpegprogressive.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <cstring>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace sixfold {

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
            if (!e || used + length > RunBits)
                break;
            used += length + size;
            before = advanced;
            ++codes;
            if (!size && zeros != 15) {
                end = true;
                break;
            }
            advanced += size ? zeros + 1 : 16;
            if (used >= RunBits)
                break;
        }
        h.run[bits] = codes ? uint32_t(used | advanced << 5 | before << 13 | int(end) << 21) : 0;
    }
    return true;
}

namespace {

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

} // namespace

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

namespace {

// The tables a scan's components use, one DC and one AC each, where their
// kind of scan uses them: each table of the file derived once, as DC or as
// AC (differently), for all the scans that use it.
struct TableUse
{
    const JHUFF_TBL *table;
    bool dc;
};

void tablesUsed(const Scan &scan, const JHUFF_TBL *const *dc, const JHUFF_TBL *const *ac, std::vector<TableUse> &uses)
{
    const bool dcUsed = scan.kind == Kind::Sequential || scan.kind == Kind::DcFirst;
    const bool acUsed = scan.kind == Kind::Sequential || scan.kind == Kind::AcFirst || scan.kind == Kind::AcRefine;
    for (int k = 0; k < scan.count; ++k) {
        if (dcUsed)
            uses.push_back({dc[k], true});
        if (acUsed)
            uses.push_back({ac[k], false});
    }
}

} // namespace

// A block of a sequential scan.
template <>
__attribute__((always_inline)) inline bool decodeBlock<Kind::Sequential>(BitReader &in, Scan &scan, int k, long index,
                                                                         uint64_t *, BlockRow &row, int16_t *)
{
    if (index < 0)
        return skipBlock(in, *scan.dcOf[k], *scan.acOf[k], scan.prediction[k]);
    row.decoded[index] = 1;
    return readBlock(in, *scan.dcOf[k], *scan.acOf[k], scan.quantOf[k], scan.prediction[k], row.coefficients[index]);
}

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
    // The scans' pieces of coded data, and their tables, are made only
    // once what they take is known to fit: a few bytes of file may hold
    // thousands of scans.
    std::vector<size_t> pieces(count);
    std::vector<TableUse> uses;
    std::vector<size_t> firstUse(count + 1);
    struct stat file{};
    const double fileSize = descriptor >= 0 && fstat(descriptor, &file) == 0 ? double(file.st_size) : 0;
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
            // Its coded data lie before the next scan's.
            const double end = s + 1 < count ? script->scans[s + 1].data : fileSize;
            scan.source = {descriptor, header.data, {}};
            pieces[s] = size_t(std::clamp(end - header.data + 64, 256.0, 16384.0));
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
            scan.source = {descriptor, offset, {}};
            pieces[s] = size_t(1) << 16;
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
            // AC coefficients before any DC scan are warned about, and
            // decoded all the same.
            for (int k = 0; k < scan.count; ++k) {
                std::array<int, 64> &coded = bits[size_t(scan.component[k])];
                for (int i = scan.Ss; i <= scan.Se; ++i) {
                    if (Ah != std::max(coded[size_t(i)], 0) || (Ah == 0 && coded[size_t(i)] >= 0))
                        return false;
                    coded[size_t(i)] = scan.Al;
                }
            }
            scan.kind = dcBand ? (Ah ? Kind::DcRefine : Kind::DcFirst) : (Ah ? Kind::AcRefine : Kind::AcFirst);
        }
        tablesUsed(scan, dc, ac, uses);
        firstUse[s + 1] = uses.size();
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
        buffers += double(pieces[s]);
    }
    // Every coefficient libjpeg's smoothing looks at (the first 6 up to
    // libjpeg-turbo 2.0, the first 10 since) coded to its last bit, in
    // every component: libjpeg then decodes as coded. It smooths nothing
    // where a component's DC was never coded (smoothing_ok).
    const bool dcUncoded = std::any_of(bits.begin(), bits.end(), [](const std::array<int, 64> &b) { return b[0] < 0; });
    for (const std::array<int, 64> &coded : bits)
        for (int i = 0; i < (progressive ? (dcUncoded ? 0 : 10) : 1); ++i)
            if (coded[size_t(i)] != 0)
                return false;
    // The tables, each table of the file derived once for each way it is
    // used, shared by the scans.
    std::vector<TableUse> distinct;
    for (const TableUse &use : uses) {
        if (!use.table)
            return false;
        if (std::none_of(distinct.begin(), distinct.end(),
                         [&use](const TableUse &d) { return d.table == use.table && d.dc == use.dc; }))
            distinct.push_back(use);
    }
    buffers += double(distinct.size() * sizeof(Huffman));

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
                // Each block row's masks, then all of them together.
                if (masks.empty())
                    buffers += double(c.v) * (frame.mcuColumns * c.h + 1) * sizeof(uint64_t);
                masks.resize(size_t(c.v) * size_t(frame.mcuColumns * c.h + 1));
            }
    }
    if (buffers > memoryLimit)
        return false;
    if (progressive) {
        values.assign(kept * 64, 0);
    }
    tables.reset(new Huffman[distinct.size()]);   // not cleared: see Huffman::run
    for (size_t i = 0; i < distinct.size(); ++i)
        if (!derive(distinct[i].table, distinct[i].dc, !progressive, tables[i]))
            return false;
    for (size_t s = 0; s < count; ++s) {
        Scan &scan = scans[s];
        scan.source.piece.resize(pieces[s]);
        size_t use = firstUse[s];
        for (int k = 0; k < scan.count; ++k) {
            auto derived = [&] {
                const TableUse &u = uses[use++];
                return &tables[size_t(std::find_if(distinct.begin(), distinct.end(),
                                                   [&u](const TableUse &d) { return d.table == u.table && d.dc == u.dc; })
                                      - distinct.begin())];
            };
            if (scan.kind == Kind::Sequential || scan.kind == Kind::DcFirst)
                scan.dcOf[k] = derived();
            if (scan.kind != Kind::DcFirst && scan.kind != Kind::DcRefine)
                scan.acOf[k] = derived();
        }
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
        const bool done = scan.kind == Kind::Sequential
                               ? decodeScanRow<Kind::Sequential>(scan, frame, row, kept, nonzero)
                               : decodeProgressiveRow(scan, frame, row, kept, nonzero);
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
