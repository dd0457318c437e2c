#ifndef JPEGHUFF_H
#define JPEGHUFF_H

// What the block decoder's sequential scans (jpegentropy.cpp) and
// progressive ones (jpegprogressive.cpp) share, as libjpeg-turbo's jdhuff.h
// serves its jdhuff.c and jdphuff.c: the bit reader, the Huffman tables,
// a scan, and the loops over an MCU row's blocks.

#include "jpegentropy.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace sixfold {

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
    // The AC codes that lie whole in the next RunBits bits, with the
    // extra bits after each (the last one's may run past them: passing
    // over a value needs only its size): bits used (5 bits, at most
    // RunBits + 15), coefficients advanced (8), advanced before the last
    // code (8), ended by end-of-block (1); 0: none. Only for the AC tables
    // of sequential scans, which pass over blocks with it; left unwritten
    // (and so costing no memory) in the others.
    uint32_t run[1 << RunBits];
    int32_t maxcode[18] = {};
    int32_t valoffset[18] = {};
    uint8_t values[256] = {};
};

// False where libjpeg would refuse the table, or put in one of its own.
// With `runs`, an AC table's run look-ups too.
bool derive(const JHUFF_TBL *table, bool dc, bool runs, Huffman &h);

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

// How a scan codes its blocks: whole (a sequential scan), or one part of a
// progression (jdphuff.c).
enum class Kind { Sequential, DcFirst, DcRefine, AcFirst, AcRefine };

struct EntropyDecoder::Scan
{
    Kind kind = Kind::Sequential;
    int Ss = 0, Se = 63, Al = 0;
    uint64_t band = 0;                  // positions Ss to Se, zigzag
    int count = 0;                      // components
    int component[MAX_COMPS_IN_SCAN] = {};   // in the layout
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
    bool ended = false;   // its data ran out: its later blocks stay as they are

    // Of each component: its tables (the decoder's) and quantisation.
    const Huffman *dcOf[MAX_COMPS_IN_SCAN] = {}, *acOf[MAX_COMPS_IN_SCAN] = {};
    const int16_t *quantOf[MAX_COMPS_IN_SCAN] = {};
};


using Scan = EntropyDecoder::Scan;

// The restart marker that must come before MCU `m` (a multiple of the
// interval), and, for a sequential scan, whether the interval it starts
// holds a block needed at all: if not, it is passed over to its end. False
// where the marker is not there. It reads through the scan's own reader.
bool restartBefore(Scan &scan, const BlockLayout &layout, long m);

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

// The zigzag positions k to `last` as bits of a mask; none where k is past
// `last` (k at most 64).
__attribute__((always_inline)) inline uint64_t positions(int k, int last)
{
    const uint64_t from = (~uint64_t(0) << (k & 63)) & -uint64_t(k < 64);
    return from & (~uint64_t(0) >> (63 - last));
}

// One block of a scan: decoded into the row's kept blocks at `index`, or
// (-1) passed over, keeping what later blocks need; defined for each kind
// where scans of that kind are decoded.
template <Kind K>
bool decodeBlock(BitReader &in, Scan &scan, int k, long index, uint64_t *nonzero, BlockRow &row, int16_t *values);

// Where an MCU of a scan took bits past the end of its data (libjpeg reads
// zeros there): in a progressive scan without restart markers, libjpeg
// leaves the scan's later blocks as they are, and so does this; otherwise
// the data are not as libjpeg decodes them without doubt. Only at a marker
// or the file's end, though: the reader also stops at 0xff 0xff, which
// libjpeg's careful reader takes as fill before a marker, or before a 0
// that makes the 0xff a byte of data.
template <Kind K>
bool dataEnded(const BitReader &in, Scan &scan)
{
    if (K == Kind::Sequential || scan.interval)
        return false;
    BitReader copy = in;   // the scan reads no more
    for (const uint8_t *p = copy.at;; ++p) {
        if (copy.end - p < 2) {
            copy.at = p;
            copy.more();
            p = copy.at;
        }
        if (copy.end - p < 2)
            break;   // the file's end, where libjpeg puts an end marker
        if (p[1] != 0xff) {
            if (p[1] == 0)
                return false;
            break;
        }
    }
    scan.in = in;
    scan.ended = true;
    return true;
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
            return dataEnded<K>(in, scan);
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
        // The masks of the row's blocks, and after them their union.
        const long across = layout.mcuColumns * component.h;
        uint64_t *maskRow = masks.empty() ? nullptr : masks.data() + offset * (across + 1);
        const long start = by * component.across, end = std::min(start + component.across, scan.lastMcu + 1);
        const bool needed = component.neededRows[size_t(by)];
        for (long m = start; m < end; ++m) {
            if (!restartIfDue(in, scan, layout, m))
                return false;
            if (scan.passing)
                continue;
            const long bx = m - start;
            // An end-of-band run passes over its blocks in one step where
            // they owe no bit: none in a first scan of a band, none in a
            // refinement where no block of the row has a coefficient of the
            // band yet (else a block at a time, those without one); not
            // past the next restart marker. So a flat picture costs its
            // scans' rows, not their blocks.
            if constexpr (K == Kind::AcFirst || K == Kind::AcRefine) {
                if (scan.eobrun && (K == Kind::AcFirst || !(maskRow[across] & scan.band))) {
                    long n = std::min<long>(scan.eobrun, end - m);
                    if (scan.interval)
                        n = std::min(n, scan.interval - m % scan.interval);
                    scan.eobrun -= unsigned(n);
                    m += n - 1;
                    continue;
                }
                if (scan.eobrun && !(maskRow[bx] & scan.band)) {
                    --scan.eobrun;
                    continue;
                }
            }
            const int base = needed ? kept[bx] : -1;
            if (!decodeBlock<K>(in, scan, 0, base < 0 ? -1 : base + offset, maskRow ? maskRow + bx : &spare, row,
                                values))
                return false;
            if constexpr (K == Kind::AcFirst || K == Kind::AcRefine)
                maskRow[across] |= maskRow[bx];
            if (!in.sound())
                return dataEnded<K>(in, scan);
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
    if (scan.ended)
        return true;
    if (scan.count > 1)
        return decodeMcuRow<K>(scan, layout, row, values);
    return decodeBlockRows<K>(scan, layout, row, values, nonzero[size_t(scan.component[0])]);
}

} // namespace sixfold

#endif // JPEGHUFF_H
