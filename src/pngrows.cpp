// Decoding only the panel's rows of PNG files.
//
// libpng is called as OpenCV's own PNG decoder calls it (the same
// transforms and error handling), so the rows written hold the bytes
// cv::imread would.

#include "pngrows.h"

#include "exif.h"
#include "filewalk.h"
#include "placement.h"
#include "pngchunks.h"

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <vector>

#include <png.h>

namespace sixfold {

namespace {

// What the decoder made of a file.
enum class Outcome { Read, Failed, NotMine };

uint32_t bigEndian32(const uchar *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// The bytes of raw image data (filtered rows, each with its filter byte) a
// PNG header declares; 0 for a header libpng would refuse anyway.
double rawPngBytes(const uchar *ihdr)
{
    const double width = bigEndian32(ihdr), height = bigEndian32(ihdr + 4);
    const int depth = ihdr[8], colour = ihdr[9], interlace = ihdr[12];
    static const int channelsOf[] = {1, 0, 3, 1, 2, 0, 4};
    const int channels = colour <= 6 ? channelsOf[colour] : 0;
    if (!channels || (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) || interlace > 1)
        return 0;
    auto rows = [&](double across, double down) {
        return across > 0 && down > 0 ? down * (1 + std::ceil(across * channels * depth / 8)) : 0.0;
    };
    if (!interlace)
        return rows(width, height);
    // Adam7: each pass a sub-picture of its own, from these offsets and steps.
    static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                     {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    double bytes = 0;
    for (const auto &pass : passes)
        bytes += rows(std::ceil((width - pass[0]) / pass[2]), std::ceil((height - pass[1]) / pass[3]));
    return bytes;
}

// Whether a PNG's data can fill its picture, from its chunk headers alone,
// walked before libpng allocates anything, as far as libpng would read
// them: up to the first chunk whose name it refuses (four ASCII letters),
// to the end of the run of image data chunks, or to IEND. Not when a chunk
// declares more bytes than the file holds: no reader gets past it, and
// libpng would first allocate and clear a chunk of up to 2 GB. Nor when the
// rows the header declares need more than 1032 times the bytes of all the
// image data: deflate cannot expand more than that (a match of 258 bytes
// takes at least two bits), so the data run out long before the picture
// ends, after libpng has inflated gigabytes. Anything else is left to
// libpng. The headers are read through a buffer, and the walk never goes
// further than libpng would read, so a file of zeros or a sparse one of
// any apparent size costs next to nothing.
bool pngDataCanFill(std::FILE *file)
{
    FileWindow window(file);
    double at = 8, imageData = 0, raw = 0;
    bool inImageData = false;
    for (const uchar *head; (head = window.bytes(at, 8 + 13)) || (head = window.bytes(at, 8));) {
        const double length = bigEndian32(head);
        if (at + 12 + length > window.fileSize)
            return false;
        const auto letter = [](uchar c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
        if (!letter(head[4]) || !letter(head[5]) || !letter(head[6]) || !letter(head[7]))
            break;
        const bool isImageData = std::memcmp(head + 4, "IDAT", 4) == 0;
        if (inImageData && !isImageData)
            break;
        inImageData = isImageData;
        if (at == 8 && std::memcmp(head + 4, "IHDR", 4) == 0 && length == 13)
            raw = rawPngBytes(head + 8);
        else if (isImageData)
            imageData += length;
        else if (std::memcmp(head + 4, "IEND", 4) == 0)
            break;
        at += 12 + length;
    }
    return raw <= 1032 * imageData;
}

// A reader and its two information records for its scope; errors jump back,
// warnings are not printed.
struct PngDecompressor
{
    png_structp png = png_create_read_struct(
        PNG_LIBPNG_VER_STRING, nullptr, [](png_structp png, png_const_charp) { png_longjmp(png, 1); },
        [](png_structp, png_const_charp) {});
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_infop end = png ? png_create_info_struct(png) : nullptr;
    PngDecompressor() = default;
    ~PngDecompressor() { png_destroy_read_struct(&png, &info, &end); }
    PngDecompressor(const PngDecompressor &) = delete;
    PngDecompressor &operator=(const PngDecompressor &) = delete;
};

// The orientation of the eXIf chunk an information record holds; 1 without
// one.
int orientationOfChunk(png_structp png, png_infop info)
{
    png_uint_32 length = 0;
    png_bytep exif = nullptr;
    if (!png_get_valid(png, info, PNG_INFO_eXIf) || !png_get_eXIf_1(png, info, &length, &exif) || !exif
        || !length)
        return 1;
    return pngExifOrientation(exif, length);
}

// A row libpng decoded, red-green-blue or gray, as blue-green-red: what
// png_set_bgr, or png_set_gray_to_rgb, would have made of it.
void toBgr(const uchar *row, bool coloured, int width, uchar *bgr)
{
    for (int x = 0; x < width; ++x, bgr += 3) {
        if (coloured) {
            bgr[0] = row[3 * x + 2];
            bgr[1] = row[3 * x + 1];
            bgr[2] = row[3 * x];
        } else {
            bgr[0] = bgr[1] = bgr[2] = row[x];
        }
    }
}

Outcome decodePng(PngDecompressor &reader, std::FILE *file, double memoryLimit, cv::Mat &picture, Placement &p,
                  cv::Mat &kept, std::vector<int> &keptIndex)
{
    png_structp png = reader.png;
    if (setjmp(png_jmpbuf(png)))
        return Outcome::Failed;
    png_init_io(png, file);
    png_read_info(png, reader.info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0;
    png_get_IHDR(png, reader.info, &width, &height, &depth, &colour, nullptr, nullptr, nullptr);
    const bool exifFirst = png_get_valid(png, reader.info, PNG_INFO_eXIf);
    const int orientation = orientationOfChunk(png, reader.info);
    if (!orientation)
        return Outcome::NotMine;

    if (depth == 16)
        png_set_strip_16(png);
    else
        png_set_swap(png);
    png_set_strip_alpha(png);
    if (colour == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if ((colour & PNG_COLOR_MASK_COLOR) == 0 && depth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    // OpenCV asks libpng for blue-green-red, from gray too; only the rows
    // kept here are put in that order, by toBgr.
    const bool coloured = colour & PNG_COLOR_MASK_COLOR;
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, reader.info);
    if (png_get_rowbytes(png, reader.info) != size_t(width) * (coloured ? 3 : 1))
        return Outcome::NotMine;

    // The needed rows are decoded into a row of their own, or, for an
    // interlaced picture whose passes fill them in one after another, into
    // rows of their own; every other row is decoded and dropped. The last
    // row holds a kept row turned to blue-green-red.
    const bool interlaced = passes > 1;
    p = placement(int(width), int(height), orientation);
    const int keptRows = interlaced ? int(p.storedRows.size()) + 1 : 2;
    // The rows, the kept rows and their index, and libpng's two rows of
    // raw data (up to 8 bytes a pixel).
    if (pictureBytes(p) + (3.0 * keptRows + 16) * width + 4.0 * height > memoryLimit)
        return Outcome::Failed;
    picture = uprightPicture(p);
    kept.create(keptRows, int(width), CV_8UC3);
    uchar *const bgr = kept.ptr(kept.rows - 1);
    keptIndex.assign(height, -1);
    for (size_t k = 0; k < p.storedRows.size(); ++k)
        keptIndex[size_t(p.storedRows[k])] = int(k);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            const int k = keptIndex[y];
            uchar *row = k < 0 ? nullptr : kept.ptr(interlaced ? k : 0);
            png_read_row(png, row, nullptr);
            if (row && pass == passes - 1) {
                toBgr(row, coloured, int(width), bgr);
                putRow(picture, p, int(y), bgr);
            }
        }
    }
    png_read_end(png, reader.end);
    // An eXIf chunk after the pixels turns the picture only now; rare
    // enough to leave to cv::imread.
    if (!exifFirst && orientationOfChunk(png, reader.end) != 1)
        return Outcome::NotMine;
    return Outcome::Read;
}

} // namespace

std::optional<cv::Mat> readPngRows(std::FILE *file, double memoryLimit)
{
    if (!pngDataCanFill(file))
        return cv::Mat();
    if (std::optional<cv::Mat> picture = readPngItself(file, memoryLimit))
        return picture;
    PngDecompressor reader;
    if (!reader.png || !reader.info || !reader.end)
        return cv::Mat();
    cv::Mat picture, kept;
    Placement p;
    std::vector<int> keptIndex;
    const Outcome outcome = decodePng(reader, file, memoryLimit, picture, p, kept, keptIndex);
    if (outcome == Outcome::NotMine)
        return std::nullopt;
    return outcome == Outcome::Read ? picture : cv::Mat();
}

} // namespace sixfold
