// A PNG decoded by the program itself: its chunks walked as libpng reads
// them, its image data inflated (inflater.h) and made into the panel's
// pixels (pngpixels.h).
//
// Only a file that libpng 1.6 (1.6.39, 1.6.48 and 1.6.58 were read for
// this) takes as it is, without an error or a warning that could change
// its pixels, is decoded here; anything else is declined, and libpng reads
// it. So: each chunk is whole, named by four letters with the reserved one
// upper case, shorter than libpng's limit for all but image data (8 MB),
// and its CRC right; IHDR comes first, of a size libpng takes (at most
// 10^6 pixels either way) and a known form; no critical chunk but IHDR,
// PLTE, IDAT and IEND; PLTE, for palettes and colour only, before any
// chunk that refers to it (tRNS, bKGD, hIST) and before the image data;
// at most one eXIf, before the image data, with a TIFF header (libpng
// 1.6.39 checks two bytes, later ones four); none of APNG's chunks, which
// libpng keeps as unknown; one run of IDAT chunks whose zlib stream inflates
// to exactly the rows, with nothing after its check but empty IDAT chunks;
// then ancillary chunks and IEND, empty.

#include "pngchunks.h"

#include "exif.h"
#include "inflater.h"
#include "placement.h"
#include "pngpixels.h"

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace sixfold {

namespace {

constexpr uint32_t ChunkLimit = 8000000;   // libpng's PNG_USER_CHUNK_MALLOC_MAX

uint32_t bigEndian(const unsigned char *b)
{
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// A chunk's header as read.
struct Chunk
{
    uint32_t length = 0;
    char name[5] = {};
    bool is(const char *other) const { return std::memcmp(name, other, 4) == 0; }
    bool critical() const { return !(name[0] & 0x20); }
};

// The file read at offsets, each chunk checked against its CRC.
struct ChunkFile
{
    int descriptor;
    double size, at = 8;
    uint32_t crc = 0;

    bool read(unsigned char *to, size_t count)
    {
        if (at + double(count) > size || pread(descriptor, to, count, off_t(at)) != ssize_t(count))
            return false;
        at += double(count);
        return true;
    }

    // The next chunk's header: a length libpng takes, and four letters, the
    // third upper case (libpng 1.6.48 and later refuse the others).
    bool header(Chunk &c)
    {
        unsigned char b[8];
        if (!read(b, 8) || b[0] & 0x80)
            return false;
        c.length = bigEndian(b);
        std::memcpy(c.name, b + 4, 4);
        for (int i = 0; i < 4; ++i) {
            const unsigned char letter = b[4 + i] & ~0x20;
            if (letter < 'A' || letter > 'Z' || (i == 2 && (b[4 + i] & 0x20)))
                return false;
        }
        crc = crc32Of(0, b + 4, 4);
        return at + double(c.length) + 4 <= size;
    }

    // Reads `count` bytes of the chunk's data (to nowhere for null), into
    // its CRC.
    bool data(unsigned char *to, size_t count)
    {
        unsigned char skipped[65536];
        while (count > 0) {
            const size_t n = to ? count : std::min(count, sizeof skipped);
            unsigned char *into = to ? to : skipped;
            if (!read(into, n))
                return false;
            crc = crc32Of(crc, into, n);
            count -= n;
            if (to)
                to += n;
        }
        return true;
    }

    // The chunk's CRC, after its data.
    bool crcRight()
    {
        unsigned char b[4];
        return read(b, 4) && bigEndian(b) == crc;
    }
};

// The header's fields, if libpng takes them as they are.
bool headerFields(const unsigned char *ihdr, PngFormat &f)
{
    const uint32_t width = bigEndian(ihdr), height = bigEndian(ihdr + 4);
    f.depth = ihdr[8];
    f.colour = ihdr[9];
    f.interlaced = ihdr[12] == 1;
    if (width == 0 || height == 0 || width > 1000000 || height > 1000000 || ihdr[10] || ihdr[11] || ihdr[12] > 1)
        return false;
    f.width = int(width);
    f.height = int(height);
    const int d = f.depth;
    switch (f.colour) {
    case 0:
        return d == 1 || d == 2 || d == 4 || d == 8 || d == 16;
    case 3:
        return d == 1 || d == 2 || d == 4 || d == 8;
    case 2:
    case 4:
    case 6:
        return d == 8 || d == 16;
    default:
        return false;
    }
}

} // namespace

std::optional<cv::Mat> readPngItself(std::FILE *stream, double memoryLimit)
{
    struct stat status{};
    if (fstat(fileno(stream), &status) != 0)
        return std::nullopt;
    ChunkFile file{fileno(stream), double(status.st_size)};
    Chunk c;
    unsigned char ihdr[13];
    PngFormat format;
    if (!file.header(c) || !c.is("IHDR") || c.length != 13 || !file.data(ihdr, 13) || !file.crcRight()
        || !headerFields(ihdr, format))
        return std::nullopt;

    // The chunks before the image data.
    bool palette = false, refersToPalette = false;
    std::vector<unsigned char> exif;
    int exifChunks = 0;
    for (;;) {
        if (!file.header(c))
            return std::nullopt;
        if (c.is("IDAT"))
            break;
        if (c.length > ChunkLimit || c.is("IHDR") || c.is("IEND") || c.is("acTL") || c.is("fcTL") || c.is("fdAT"))
            return std::nullopt;
        if (c.is("PLTE")) {
            const uint32_t entries = c.length / 3;
            if (palette || refersToPalette || format.colour == 0 || format.colour == 4 || c.length % 3 || !entries
                || entries > 256 || (format.colour == 3 && entries > (1u << format.depth)))
                return std::nullopt;
            if (!file.data(format.palette.data(), c.length))
                return std::nullopt;
            format.paletteSize = int(entries);
            palette = true;
        } else if (c.critical()) {
            return std::nullopt;   // unknown: libpng refuses it
        } else if (c.is("eXIf")) {
            exif.resize(c.length);
            if (++exifChunks > 1 || !file.data(exif.data(), c.length))
                return std::nullopt;
        } else {
            refersToPalette |= c.is("tRNS") || c.is("bKGD") || c.is("hIST");
            if (!file.data(nullptr, c.length))
                return std::nullopt;
        }
        if (!file.crcRight())
            return std::nullopt;
    }
    if (format.colour == 3 && !palette)
        return std::nullopt;
    int orientation = 1;
    if (exifChunks) {
        static const unsigned char intel[4] = {'I', 'I', 42, 0}, motorola[4] = {'M', 'M', 0, 42};
        if (exif.size() < 4 || (std::memcmp(exif.data(), intel, 4) && std::memcmp(exif.data(), motorola, 4))
            || !(orientation = pngExifOrientation(exif.data(), exif.size())))
            return std::nullopt;
    }

    const Placement p = placement(format.width, format.height, orientation);
    cv::Mat picture;
    PngRows rows(format, p, picture);
    // The rows, what the rows and the inflater hold, and the inflater's
    // window and input.
    const double held = double(rows.heldBytes());
    if (pictureBytes(p) + rows.bufferBytes() + held + 32768 + 262144 + 65536 + 65536 > memoryLimit)
        return std::nullopt;
    picture = uprightPicture(p);

    // The image data: IDAT chunks one after another, each checked as its
    // data ends; the first other chunk ends them.
    uint32_t left = c.length;
    bool idatEnded = false;
    InflateEnds ends;
    ends.read = [&](unsigned char *to, size_t room) -> long {
        while (left == 0) {
            if (idatEnded)
                return 0;
            if (!file.crcRight() || !file.header(c))
                return -1;
            if (!c.is("IDAT")) {
                idatEnded = true;
                return 0;
            }
            left = c.length;
        }
        const size_t n = std::min(room, size_t(left));
        if (!file.data(to, n))
            return -1;
        left -= uint32_t(n);
        return long(n);
    };
    ends.write = [&rows](const unsigned char *window, double first, double last) {
        return rows.write(window, first, last);
    };
    // An inflated stream has taken all the image data, up to the chunk
    // after it; then the rest, up to IEND.
    if (inflateZlib(ends, size_t(held)) != rows.total() || !idatEnded)
        return std::nullopt;
    rows.finish();
    for (;;) {
        if (c.is("IEND"))
            return c.length == 0 && file.crcRight() ? std::optional<cv::Mat>(picture) : std::nullopt;
        if (c.critical() || c.length > ChunkLimit || c.is("eXIf") || c.is("acTL") || c.is("fcTL") || c.is("fdAT")
            || !file.data(nullptr, c.length) || !file.crcRight() || !file.header(c))
            return std::nullopt;
    }
}

} // namespace sixfold
