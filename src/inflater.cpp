// Inflating a zlib stream through a window of bounded size, refusing every
// stream zlib refuses.
//
// Built with ISA-L, the stream is inflated here, and ISA-L's vector code
// computes the CRC and the Adler-32; ISA-L's own inflate is not used, as
// it takes streams zlib refuses (Huffman codes that are incomplete). Built
// without it, zlib does all three.

#include "inflater.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#ifdef SIXFOLD_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace sixfold {

namespace {

constexpr size_t History = 32768;   // the farthest deflate refers back
constexpr size_t Piece = 262144;    // output made between two writes

// The window of the zlib stream two bytes start, where this reads it:
// deflate, a valid header check and no preset dictionary; 0 for others.
size_t windowOf(const unsigned char *header)
{
    if ((header[0] & 15) != 8 || header[0] >> 4 > 7 || (header[0] << 8 | header[1]) % 31 || header[1] & 0x20)
        return 0;
    return size_t(1) << (8 + (header[0] >> 4));
}

} // namespace

#ifdef SIXFOLD_ISAL

uint32_t crc32Of(uint32_t crc, const unsigned char *bytes, size_t count)
{
    return crc32_gzip_refl(crc, const_cast<unsigned char *>(bytes), count);
}

uint32_t adler32Of(uint32_t adler, const unsigned char *bytes, size_t count)
{
    return isal_adler32(adler, bytes, count);
}

namespace {

// Eight bytes as a little-endian number; four bytes stored so.
inline uint64_t little64(const unsigned char *at)
{
    uint64_t v;
    std::memcpy(&v, at, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void storeLittle32(unsigned char *at, uint32_t v)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(at, &v, 4);
}

// Huffman decoding tables, looked up with the stream's next bits (deflate
// packs codes from the low bit up, so a table is indexed by codes reversed).
// A code longer than the main table's bits continues in a subtable.
//
// Literal and length entries: bits 0-4 the bits to drop. A literal has
// bit 31 and its value in bits 5-12; in the main table, an entry whose bits
// hold the codes of up to three literals holds them all, the second in bits
// 13-20 and the third in bits 21-28, their count less one in bits 29-30. A
// length has its base in bits 16-24, and its code's bits in bits 8-11, the
// bits to drop taking its extra bits too (in the main table, where its code
// and extra bits fit, the whole length and no extra bits), so that the
// next look-up need not wait for them to be counted; bit 30 marks the
// others: the end of the block (bit 29), a subtable (bit 28: its offset in
// bits 8-23, its index bits in bits 24-26) or no symbol (bit 27).
// Distance entries likewise: bits 0-7 the bits to drop, code and extra
// bits, bits 8-11 the code's, bits 16-31 the base (the whole distance
// where they fit); bit 12 a subtable (offset in bits 16-31, index bits in
// bits 8-11), bit 13 no symbol.
constexpr int LitBits = 10, DistBits = 8, CodeLengthBits = 7;
constexpr uint32_t Literal = 1u << 31, Special = 1u << 30, EndOfBlock = 1u << 29, LitSub = 1u << 28,
                   LitNone = 1u << 27;
constexpr uint32_t DistSub = 1u << 12, DistNone = 1u << 13;

enum class Table { CodeLengths, Lengths, Distances };

// The base and extra bits of the length symbols 257 to 285, and of the
// distance symbols 0 to 29.
constexpr uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The code's `length` bits in reverse order.
uint32_t reversed(uint32_t code, int length)
{
    static const auto bytes = [] {
        std::array<uint8_t, 256> r{};
        for (int i = 0; i < 256; ++i)
            for (int bit = 0; bit < 8; ++bit)
                r[size_t(i)] |= uint8_t((i >> bit & 1) << (7 - bit));
        return r;
    }();
    return (uint32_t(bytes[code & 0xff]) << 8 | bytes[code >> 8 & 0xff]) >> (16 - length);
}

// The entry of symbol `s` of a table of the given kind, its code `length`
// bits long.
uint32_t entryOf(Table kind, int s, int length)
{
    const uint32_t bits = uint32_t(length);
    switch (kind) {
    case Table::CodeLengths:
        return uint32_t(s) << 16 | bits;
    case Table::Lengths:
        if (s < 256)
            return Literal | uint32_t(s) << 5 | bits;
        if (s == 256)
            return Special | EndOfBlock | bits;
        if (s > 285)   // 286 and 287 have codes only in fixed blocks, and no meaning
            return Special | LitNone | bits;
        return uint32_t(lengthBase[s - 257]) << 16 | bits << 8 | (bits + lengthExtra[s - 257]);
    case Table::Distances:
        if (s >= 30)
            return DistNone | bits;
        return uint32_t(distBase[s]) << 16 | bits << 8 | (bits + distExtra[s]);
    }
    return 0;
}

// Builds the decoding table of code lengths `lengths[0..count)`, with
// zlib's rules: no code may be over-subscribed; the code of code lengths
// must be complete; the others too, unless their one code is one bit long
// (and distances may have no code at all). False for a code zlib refuses.
bool buildTable(Table kind, const uint8_t *lengths, int count, int mainBits, std::vector<uint32_t> &table)
{
    int perLength[16] = {};
    for (int s = 0; s < count; ++s)
        ++perLength[lengths[s]];
    int longest = 15;
    while (longest > 0 && !perLength[longest])
        --longest;
    const uint32_t none = kind == Table::Distances ? DistNone | 1 : Special | LitNone | 1;
    table.assign(size_t(1) << mainBits, none);
    if (longest == 0)   // no code: only distances may have none, and then no distance may come
        return kind == Table::Distances;
    int left = 1;
    for (int length = 1; length <= 15; ++length) {
        left = (left << 1) - perLength[length];
        if (left < 0)
            return false;   // over-subscribed
    }
    if (left > 0 && (kind == Table::CodeLengths || longest != 1))
        return false;   // incomplete
    // The canonical codes, shortest first, in symbol order within a length.
    uint32_t next[16] = {};
    for (int length = 1, code = 0; length <= 15; ++length) {
        next[length] = uint32_t(code);
        code = (code + perLength[length]) << 1;
    }
    // Subtables: for each main index whose codes are longer than the main
    // table, as many bits as its longest code needs.
    const uint32_t mainMask = (1u << mainBits) - 1;
    uint8_t subLongest[1 << LitBits];
    if (longest > mainBits)
        std::memset(subLongest, 0, size_t(1) << mainBits);
    uint32_t codes[288];
    for (int s = 0; s < count; ++s) {
        const int length = lengths[s];
        if (!length)
            continue;
        codes[s] = reversed(next[length]++, length);
        if (length > mainBits) {
            uint8_t &l = subLongest[codes[s] & mainMask];
            l = std::max(l, uint8_t(length));
        }
    }
    for (uint32_t index = 0; longest > mainBits && index <= mainMask; ++index) {
        if (!subLongest[index])
            continue;
        const uint32_t subBits = uint32_t(subLongest[index] - mainBits), offset = uint32_t(table.size());
        table.resize(table.size() + (size_t(1) << subBits), none);
        table[index] = kind == Table::Distances ? offset << 16 | subBits << 8 | DistSub
                                                : Special | LitSub | subBits << 24 | offset << 8;
    }
    for (int s = 0; s < count; ++s) {
        const int length = lengths[s];
        if (!length)
            continue;
        const uint32_t entry = entryOf(kind, s, length);
        const uint32_t extra = kind == Table::CodeLengths || entry & (Literal | Special | DistNone) ? 0
                             : (entry & 63) - uint32_t(length);
        if (length + int(extra) <= mainBits && !(entry & (Literal | Special | DistNone))) {
            // A length or distance whose extra bits fit too: an entry for
            // each of their values, holding the whole number.
            for (uint32_t value = 0; value < (1u << extra); ++value) {
                const uint32_t whole = (entry >> 16) + value, bits = uint32_t(length) + extra;
                for (uint32_t index = codes[s] | value << length; index <= mainMask; index += 1u << bits)
                    table[index] = whole << 16 | bits << 8 | bits;
            }
            continue;
        }
        if (length <= mainBits) {
            for (uint32_t index = codes[s]; index <= mainMask; index += 1u << length)
                table[index] = entry;
            continue;
        }
        const uint32_t pointer = table[codes[s] & mainMask];
        const uint32_t offset = kind == Table::Distances ? pointer >> 16 : pointer >> 8 & 0xffff;
        const uint32_t subBits = kind == Table::Distances ? pointer >> 8 & 15 : pointer >> 24 & 15;
        for (uint32_t index = codes[s] >> mainBits; index < (1u << subBits); index += 1u << (length - mainBits))
            table[offset + index] = entry;
    }
    return true;
}

// Makes each literal entry of a table's main part hold the literals that
// follow it while their codes fit in its bits, up to three.
void packLiterals(std::vector<uint32_t> &table)
{
    // From the last index down: the entries an index looks up for the
    // literals after its first are at smaller ones, not yet changed.
    for (uint32_t index = (1u << LitBits) - 1; index + 1 > 0; --index) {
        uint32_t entry = table[index];
        if (!(entry & Literal))
            continue;
        uint32_t used = entry & 31, literals = entry >> 5 & 0xff, count = 1;
        for (; count < 3; ++count) {
            // The rest of the index holds the next code if it is short
            // enough: a table entry repeats for every longer index.
            const uint32_t next = table[index >> used];
            if (!(next & Literal) || used + (next & 31) > uint32_t(LitBits))
                break;
            literals |= (next >> 5 & 0xff) << (8 * count);
            used += next & 31;
        }
        table[index] = Literal | (count - 1) << 29 | literals << 5 | used;
    }
}

// The stream's bits, from the low bit of each byte up, read ahead eight
// bytes at a time from an input buffer that is refilled through the
// reader, and that always holds eight readable bytes beyond where it is:
// zeros past the stream's end, where the stream must not reach.
struct BitReader
{
    InflateEnds &ends;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(65536 + 64);
    const unsigned char *at = buffer.data(), *end = buffer.data();   // [at, end): unread
    const unsigned char *refillAt = buffer.data();                   // refill from the reader beyond here
    double consumedBefore = 0;   // bytes of the stream before buffer[0]
    bool ended = false, failed = false;
    uint64_t bits = 0;
    unsigned count = 0;   // bits held; the bits above them are the stream's next ones too

    explicit BitReader(InflateEnds &e) : ends(e) {}

    // Moves what is left, with the eight bytes before it that the bits held
    // came from, to the buffer's start, and reads more after it.
    void fill()
    {
        const unsigned char *from = std::max<const unsigned char *>(buffer.data(), at - 8);
        consumedBefore += double(from - buffer.data());
        std::memmove(buffer.data(), from, size_t(end - from));
        at = buffer.data() + (at - from);
        end = buffer.data() + (end - from);
        while (!ended && size_t(end - buffer.data()) + 64 < buffer.size()) {
            const long got = ends.read(const_cast<unsigned char *>(end), buffer.size() - 64 - size_t(end - buffer.data()));
            if (got < 0)
                failed = true;
            if (got <= 0)
                ended = true;
            else
                end += got;
        }
        std::memset(const_cast<unsigned char *>(end), 0, 64);
        // Past the stream's end, at most the padding is read ahead; a
        // stream that goes on into it is refused at its end.
        refillAt = ended ? end + 16 : end - 16;
    }

    // At least 56 bits held.
    void refill()
    {
        if (at >= refillAt) {
            if (ended) {
                failed = true;   // far beyond the stream's end
                at = end;
            } else {
                fill();
            }
        }
        bits |= little64(at) << count;
        at += (63 - count) >> 3;
        count |= 56;
    }

    void drop(unsigned n)
    {
        bits >>= n;
        count -= n;
    }

    // The offset in the stream of the next bit not yet consumed, in bits.
    double position() const { return (consumedBefore + double(at - buffer.data())) * 8 - count; }
};

// The output window: history, then what has not yet been written out.
struct Window
{
    InflateEnds &ends;
    std::vector<unsigned char> buffer;
    unsigned char *out;
    unsigned char *flushAt;
    double first = 0;             // the stream offset of buffer[0]
    size_t checked = 0;           // bytes of the buffer already in the check
    uint32_t adler = 1;
    bool stopped = false;

    Window(InflateEnds &e, size_t held)
        : ends(e), buffer(History + held + Piece + 2048), out(buffer.data()),
          flushAt(buffer.data() + buffer.size() - 1024)
    {
    }

    double total() const { return first + double(out - buffer.data()); }

    // Hands what is new to the writer, and keeps the history and what it
    // still needs.
    bool flush()
    {
        const size_t made = size_t(out - buffer.data());
        adler = adler32Of(adler, buffer.data() + checked, made - checked);
        const double needed = ends.write(buffer.data(), first, first + double(made));
        if (needed < 0 || needed > first + double(made)) {
            stopped = true;
            return false;
        }
        const size_t keep = std::min(size_t(needed - first), made > History ? made - History : 0);
        std::memmove(buffer.data(), buffer.data() + keep, made - keep);
        first += double(keep);
        out -= keep;
        checked = size_t(out - buffer.data());
        return true;
    }
};

// Copies a match of `length` bytes from `distance` back; the window has
// room for sixteen bytes more. Eight bytes at a time, each read after the
// ones before are written, where the distance allows; the first sixteen
// always, as most matches are shorter and a loop's end would be guessed
// wrong.
inline unsigned char *copyMatch(unsigned char *out, unsigned distance, unsigned length)
{
    const unsigned char *from = out - distance;
    unsigned char *const end = out + length;
    if (distance >= 8) {
        std::memcpy(out, from, 8);
        std::memcpy(out + 8, from + 8, 8);
        for (out += 16, from += 16; out < end; out += 8, from += 8)
            std::memcpy(out, from, 8);
    } else if (distance == 1) {
        uint64_t v = 0x0101010101010101ull * *from;
        do {
            std::memcpy(out, &v, 8);
            out += 8;
        } while (out < end);
    } else {
        do
            *out++ = *from++;
        while (out < end);
    }
    return end;
}

// The fixed tables of deflate's block type 1.
struct FixedTables
{
    std::vector<uint32_t> lengths, distances;
    FixedTables()
    {
        uint8_t l[288], d[32];
        std::fill(l, l + 144, 8);
        std::fill(l + 144, l + 256, 9);
        std::fill(l + 256, l + 280, 7);
        std::fill(l + 280, l + 288, 8);
        std::fill(d, d + 32, 5);
        buildTable(Table::Lengths, l, 288, LitBits, lengths);
        packLiterals(lengths);
        buildTable(Table::Distances, d, 32, DistBits, distances);
    }
};

// Reads the code lengths of a dynamic block and builds its tables, as
// zlib checks them.
bool dynamicTables(BitReader &in, std::vector<uint32_t> &lengths, std::vector<uint32_t> &distances)
{
    in.refill();
    const unsigned literals = (in.bits & 31) + 257, distanceCodes = (in.bits >> 5 & 31) + 1,
                   codeLengthCodes = (in.bits >> 10 & 15) + 4;
    in.drop(14);
    if (literals > 286 || distanceCodes > 30)
        return false;
    static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint8_t codeLengthLengths[19] = {};
    for (unsigned i = 0; i < codeLengthCodes; ++i) {
        if (in.count < 3)
            in.refill();
        codeLengthLengths[order[i]] = uint8_t(in.bits & 7);
        in.drop(3);
    }
    std::vector<uint32_t> codeLengthTable;
    if (!buildTable(Table::CodeLengths, codeLengthLengths, 19, CodeLengthBits, codeLengthTable))
        return false;
    uint8_t all[286 + 30] = {};
    const unsigned total = literals + distanceCodes;
    for (unsigned i = 0; i < total;) {
        if (in.count < 16)
            in.refill();
        const uint32_t entry = codeLengthTable[in.bits & ((1u << CodeLengthBits) - 1)];
        in.drop(entry & 0xff);
        const unsigned symbol = entry >> 16;
        if (symbol < 16) {
            all[i++] = uint8_t(symbol);
            continue;
        }
        unsigned repeat;
        uint8_t value = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;   // nothing to repeat
            value = all[i - 1];
            repeat = 3 + unsigned(in.bits & 3);
            in.drop(2);
        } else if (symbol == 17) {
            repeat = 3 + unsigned(in.bits & 7);
            in.drop(3);
        } else {
            repeat = 11 + unsigned(in.bits & 127);
            in.drop(7);
        }
        if (i + repeat > total)
            return false;
        std::fill(all + i, all + i + repeat, value);
        i += repeat;
    }
    if (!all[256])
        return false;   // no end of block
    if (!buildTable(Table::Lengths, all, int(literals), LitBits, lengths))
        return false;
    packLiterals(lengths);
    return buildTable(Table::Distances, all + literals, int(distanceCodes), DistBits, distances);
}

// Decodes one block's symbols, up to its end. The bits, the input and the
// output are kept in locals, which the compiler keeps in registers: no
// closure or store of an output byte may take their address, so the steps
// that use them are macros.
// Where the processor has BMI2, a clone using its shifts, which take their
// count from any register and set no flags, is chosen at load time
// (through glibc's indirect functions).
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
__attribute__((target_clones("bmi2", "default")))
#endif
#endif
bool decodeBlock(BitReader &in, Window &w, const std::vector<uint32_t> &lengths, const std::vector<uint32_t> &distances,
                 size_t window)
{
    const uint32_t *const lit = lengths.data(), *const dist = distances.data();
    constexpr uint32_t litMask = (1u << LitBits) - 1, distMask = (1u << DistBits) - 1;
    uint64_t bits = in.bits;
    unsigned count = in.count;
    const unsigned char *at = in.at, *refillAt = in.refillAt;
    unsigned char *out = w.out;
    const unsigned char *const flushAt = w.flushAt, *const base = w.buffer.data();
#define SIXFOLD_SAVE() (in.bits = bits, in.count = count, in.at = at, w.out = out)
// At least 56 bits held.
#define SIXFOLD_REFILL()                                                                                               \
    do {                                                                                                               \
        if (at >= refillAt) {                                                                                          \
            SIXFOLD_SAVE();                                                                                            \
            if (in.ended)                                                                                              \
                return in.failed = true, false; /* far beyond the stream's end */                                      \
            in.fill();                                                                                                 \
            at = in.at;                                                                                                \
            refillAt = in.refillAt;                                                                                    \
        }                                                                                                              \
        bits |= little64(at) << count;                                                                                 \
        at += (63 - count) >> 3;                                                                                       \
        count |= 56;                                                                                                   \
    } while (false)
#define SIXFOLD_DROP(n) (bits >>= (n), count -= (n))
// Writes the literals of an entry, and looks up the next one.
#define SIXFOLD_PUT()                                                                                                  \
    do {                                                                                                               \
        SIXFOLD_DROP(entry & 31);                                                                                      \
        storeLittle32(out, entry >> 5);                                                                                \
        out += (entry >> 29 & 3) + 1;                                                                                  \
        entry = lit[bits & litMask];                                                                                   \
    } while (false)
    for (;;) {
        if (out >= flushAt) {
            SIXFOLD_SAVE();
            if (!w.flush())
                return false;
            out = w.out;
        }
        SIXFOLD_REFILL();
        uint32_t entry = lit[bits & litMask];
        // Runs of literals, up to four entries of them while the bits held
        // last; an entry holds at most the main table's bits.
        if (entry & Literal) {
            SIXFOLD_PUT();
            if (entry & Literal) {
                SIXFOLD_PUT();
                if (entry & Literal) {
                    SIXFOLD_PUT();
                    if (entry & Literal) {
                        SIXFOLD_PUT();
                        continue;
                    }
                }
            }
            SIXFOLD_REFILL();
        }
        if (entry & Special) {
            if (entry & LitSub) {
                entry = lit[(entry >> 8 & 0xffff) + ((bits >> LitBits) & ((1u << (entry >> 24 & 7)) - 1))];
                if (entry & Literal) {
                    SIXFOLD_DROP(entry & 31);
                    *out++ = uint8_t(entry >> 5);
                    continue;
                }
            }
            if (entry & EndOfBlock) {
                SIXFOLD_DROP(entry & 31);
                SIXFOLD_SAVE();
                return !in.failed;
            }
            if (entry & LitNone)
                return false;
        }
        // A match: its length, then its distance, within the 56 bits held.
        // The bits to drop are the entry's low six (no literal's bits lie
        // between), which a shift takes as they are.
        const uint64_t lengthBits = bits;
        SIXFOLD_DROP(entry & 63);
        const unsigned length =
            (entry >> 16) + unsigned((lengthBits & ((uint64_t(1) << (entry & 63)) - 1)) >> (entry >> 8 & 15));
        uint32_t d = dist[bits & distMask];
        if (d & DistSub)
            d = dist[(d >> 16) + ((bits >> DistBits) & ((1u << (d >> 8 & 15)) - 1))];
        if (d & DistNone)
            return false;
        const uint64_t distanceBits = bits;
        SIXFOLD_DROP(d & 63);
        const unsigned distance = (d >> 16) + unsigned((distanceBits & ((uint64_t(1) << (d & 63)) - 1)) >> (d >> 8 & 15));
        // The buffer holds the 32 KB before the output, or all of it. Past
        // the stream's window zlib reaches back only as far as the call of
        // it made output, and the calls would be libpng's: refused here.
        if (distance > size_t(out - base) || distance > window)
            return false;   // before the output's start
        out = copyMatch(out, distance, length);
    }
#undef SIXFOLD_PUT
#undef SIXFOLD_DROP
#undef SIXFOLD_REFILL
#undef SIXFOLD_SAVE
}

// Copies a stored block.
bool storedBlock(BitReader &in, Window &w)
{
    in.drop(in.count & 7);
    in.refill();
    const unsigned length = unsigned(in.bits & 0xffff), check = unsigned(in.bits >> 16 & 0xffff);
    in.drop(32);
    if (length != (~check & 0xffff))
        return false;
    // What is read ahead goes back to the input, whole bytes only now.
    in.at -= in.count / 8;
    in.bits = 0;
    in.count = 0;
    for (unsigned left = length; left > 0;) {
        if (w.out >= w.flushAt && !w.flush())
            return false;
        if (in.at >= in.end) {
            if (in.ended)
                return false;   // cut short
            in.fill();
            continue;
        }
        const size_t n = std::min({size_t(left), size_t(in.end - in.at), size_t(w.buffer.data() + w.buffer.size() - 1024 - w.out)});
        std::memcpy(w.out, in.at, n);
        w.out += n;
        in.at += n;
        left -= unsigned(n);
    }
    return !in.failed;
}

} // namespace

double inflateZlib(InflateEnds &ends, size_t held)
{
    static const FixedTables fixed;
    BitReader in(ends);
    Window w(ends, held);
    in.fill();
    const size_t window = in.end - in.at < 2 ? 0 : windowOf(in.at);
    if (!window)
        return -1;
    in.at += 2;
    std::vector<uint32_t> lengths, distances;
    for (bool last = false; !last;) {
        in.refill();
        last = in.bits & 1;
        const unsigned type = in.bits >> 1 & 3;
        in.drop(3);
        bool good = false;
        if (type == 0)
            good = storedBlock(in, w);
        else if (type == 1)
            good = decodeBlock(in, w, fixed.lengths, fixed.distances, window);
        else if (type == 2)
            good = dynamicTables(in, lengths, distances) && decodeBlock(in, w, lengths, distances, window);
        if (!good || in.failed)
            return -1;
    }
    // The check, big-endian on a byte boundary, ends the stream and the
    // input.
    in.drop(in.count & 7);
    in.refill();
    uint32_t check = 0;
    for (int i = 0; i < 4; ++i) {
        check = check << 8 | uint32_t(in.bits & 0xff);
        in.drop(8);
    }
    if (in.failed || !w.flush() || check != w.adler)
        return -1;
    // Nothing may follow: neither what is read ahead nor what the reader
    // still has.
    if (in.position() != (in.consumedBefore + double(in.end - in.buffer.data())) * 8)
        return -1;
    unsigned char more = 0;
    if (!in.ended && ends.read(&more, 1) != 0)
        return -1;
    return w.total();
}

bool inflatesSmallWindows()
{
    return true;
}

#else // zlib

bool inflatesSmallWindows()
{
    return false;
}

uint32_t crc32Of(uint32_t crc, const unsigned char *bytes, size_t count)
{
    return uint32_t(crc32_z(crc, bytes, count));
}

uint32_t adler32Of(uint32_t adler, const unsigned char *bytes, size_t count)
{
    return uint32_t(adler32_z(adler, bytes, count));
}

double inflateZlib(InflateEnds &ends, size_t held)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return -1;
    // The rows are read four bytes a pixel, up to three past the last one:
    // the window has room for them beyond the output.
    const size_t room = History + held + Piece;
    std::vector<unsigned char> input(65536), window(room + 16);
    double first = 0;
    size_t made = 0;
    bool ended = false;
    // Its header first, as zlib would take other windows.
    for (long got = 1; z.avail_in < 2 && got > 0; z.avail_in += uInt(std::max(got, 0L)))
        got = ends.read(input.data() + z.avail_in, input.size() - z.avail_in);
    z.next_in = input.data();
    // zlib, which reaches back past a smaller window as far as one call of
    // it made, takes streams of 32 KB windows only.
    int status = z.avail_in >= 2 && windowOf(input.data()) == History ? Z_OK : Z_DATA_ERROR;
    while (status == Z_OK) {
        if (z.avail_in == 0 && !ended) {
            const long got = ends.read(input.data(), input.size());
            if (got < 0)
                break;
            ended = got == 0;
            z.next_in = input.data();
            z.avail_in = uInt(got);
        }
        if (made == room) {
            const double needed = ends.write(window.data(), first, first + double(made));
            if (needed < 0 || needed > first + double(made))
                break;
            const size_t keep = std::min(size_t(needed - first), made - History);
            std::memmove(window.data(), window.data() + keep, made - keep);
            first += double(keep);
            made -= keep;
        }
        z.next_out = window.data() + made;
        z.avail_out = uInt(room - made);
        status = inflate(&z, Z_NO_FLUSH);
        made = size_t(z.next_out - window.data());
        if (status == Z_BUF_ERROR && ended)
            break;   // cut short
        if (status == Z_BUF_ERROR)
            status = Z_OK;
    }
    const bool whole = status == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!whole)
        return -1;
    // Nothing may follow the stream.
    unsigned char more = 0;
    if (!ended && ends.read(&more, 1) != 0)
        return -1;
    const double needed = ends.write(window.data(), first, first + double(made));
    return needed < 0 ? -1 : first + double(made);
}

#endif

} // namespace sixfold
