// The EXIF orientation OpenCV applies to a picture, read from its EXIF block.
//
// OpenCV 4.6 and 4.10 (modules/imgcodecs/src/exif.cpp, the same in both
// but for a type's name, as are loadsave.cpp's ApplyExifOrientation and the
// way the JPEG and PNG decoders hand it the block) read the TIFF header and the
// entries of the first directory, IFD0, in order, into a map that keeps the
// first entry of each tag. It reads the orientation as the first two bytes
// of the entry's value, whatever the entry's type and count say. Reading
// stops at the first entry whose data (of the tags it knows) lie outside
// the block, keeping the entries read before it. A byte order other than
// "II" is read as big-endian. Only the values 1 to 8 turn the picture.

#include "exif.h"

#include <opencv2/core/version.hpp>

#include <cstdint>
#include <optional>

// The OpenCV versions whose reading is followed here, each read from its
// source and proven by the tests and the fuzz target against it.
#if CV_VERSION_MAJOR == 4 && (CV_VERSION_MINOR == 6 || CV_VERSION_MINOR == 10)
#define ProvenOpenCv 1
#else
#define ProvenOpenCv 0
#endif

namespace sixfold {

namespace {

// The block, read as OpenCV reads it; nothing where a read falls outside.
struct Block
{
    const unsigned char *data;
    size_t size;
    bool intel;

    std::optional<uint32_t> u16(size_t at) const
    {
        if (at + 1 >= size)
            return std::nullopt;
        return intel ? uint32_t(data[at] | data[at + 1] << 8) : uint32_t(data[at] << 8 | data[at + 1]);
    }
    std::optional<uint32_t> u32(size_t at) const
    {
        if (at + 3 >= size)
            return std::nullopt;
        const uint32_t b0 = data[at], b1 = data[at + 1], b2 = data[at + 2], b3 = data[at + 3];
        return intel ? b0 | b1 << 8 | b2 << 16 | b3 << 24 : b0 << 24 | b1 << 16 | b2 << 8 | b3;
    }
    // Unsigned rationals one after another from the offset an entry holds,
    // which advances in 32 bits.
    bool rationals(size_t entry, int count) const
    {
        std::optional<uint32_t> at = u32(entry + 8);
        for (int i = 0; at && i < count; ++i, *at += 8)
            if (!u32(*at) || !u32(size_t(*at) + 4))
                return false;
        return bool(at);
    }
    // A string: within the value (then read from byte 8 of the block) up to
    // four bytes, else at the offset the value holds.
    bool string(size_t entry) const
    {
        const std::optional<uint32_t> count = u32(entry + 4);
        if (!count)
            return false;
        const std::optional<uint32_t> at = *count > 4 ? u32(entry + 8) : std::optional<uint32_t>(8);
        return at && *at <= size && size_t(*at) + *count <= size;
    }
};

// The orientation value of the first orientation entry, or nothing if
// reading stopped before one.
std::optional<uint32_t> orientationValue(const unsigned char *data, size_t size)
{
    const bool sameMarks = size < 2 || data[0] == data[1];
    const Block block{data, size, sameMarks && size >= 1 && data[0] == 'I'};
    const std::optional<uint32_t> mark = block.u16(2), ifd = block.u32(4);
    if (!mark || *mark != 0x2a || !ifd)
        return std::nullopt;
    const std::optional<uint32_t> entries = block.u16(*ifd);
    if (!entries)
        return std::nullopt;
    uint32_t entry = *ifd + 2;
    for (uint32_t i = 0; i < *entries; ++i, entry += 12) {
        const std::optional<uint32_t> tag = block.u16(entry);
        if (!tag)
            return std::nullopt;
        bool read = true;
        switch (*tag) {
        case 0x0112: // orientation
            return block.u16(size_t(entry) + 8);
        case 0x010e: case 0x010f: case 0x0110: case 0x0131: case 0x0132: case 0x8298:   // strings
            read = block.string(entry);
            break;
        case 0x011a: case 0x011b:   // x and y resolution
            read = block.rationals(entry, 1);
            break;
        case 0x013e:   // white point
            read = block.rationals(entry, 2);
            break;
        case 0x013f: case 0x0214:   // primary chromaticities, reference black and white
            read = block.rationals(entry, 6);
            break;
        case 0x0211:   // YCbCr coefficients
            read = block.rationals(entry, 3);
            break;
        case 0x0128: case 0x0213:   // resolution unit, YCbCr positioning
            read = bool(block.u16(size_t(entry) + 8));
            break;
        default:   // the EXIF sub-directory's offset, and tags it does not know
            break;
        }
        if (!read)
            return std::nullopt;
    }
    return std::nullopt;
}

int orientation(const unsigned char *data, size_t size)
{
#if ProvenOpenCv
    const std::optional<uint32_t> value = size ? orientationValue(data, size) : std::nullopt;
    return value && *value >= 1 && *value <= 8 ? int(*value) : 1;
#else
    (void)data;
    return size ? 0 : 1;
#endif
}

} // namespace

int jpegExifOrientation(const unsigned char *app1, size_t length)
{
    // The TIFF header is taken to follow "Exif\0\0", unchecked.
    return length > 6 ? orientation(app1 + 6, length - 6) : 1;
}

int pngExifOrientation(const unsigned char *exif, size_t length)
{
    return orientation(exif, length);
}

bool exifAsOpenCvReadsIt()
{
    return ProvenOpenCv;
}

} // namespace sixfold
