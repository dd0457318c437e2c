// Decoding only the panel's rows of JPEG and PNG files.
//
// Both readers call libjpeg and libpng as OpenCV's own JPEG and PNG decoders
// do (the same colour conversions, transforms and error handling), so the
// rows they write hold the bytes cv::imread would.

#include "rowreader.h"

#include "exif.h"
#include "jpegpixels.h"
#include "placement.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include <sys/stat.h>
#include <unistd.h>

namespace sixfold {

#ifdef SIXFOLD_READER_TESTING
ReaderTesting readerTesting;
#endif

namespace {

// What a decoder made of a file.
enum class Outcome { Read, Failed, NotMine, Again };   // again: in OpenCV's pieces

double fileSizeOf(std::FILE *file)
{
    struct stat status{};
    return fstat(fileno(file), &status) == 0 ? double(status.st_size) : 0;
}

// ---- JPEG, as OpenCV's decoder reads it

constexpr size_t StdioPiece = 4096;   // what OpenCV's jpeg_stdio_src reads at a time

// A decompressor for its scope, with an error manager that jumps back
// (libjpeg's example.txt) and prints no warnings, and a source that reads
// the file as jpeg_stdio_src does, in pieces of the given size: libjpeg-turbo
// decodes faster with more of the data at hand.
//
// Not always alike, though. Its fast Huffman decoder takes 0xff 0xff in the
// coded data for a marker and leaves the MCU to the careful one, which reads
// fill bytes there (0xff... 0x00 is one 0xff byte) and does not clear the
// coefficients the fast one wrote. Which of the two decodes an MCU depends
// on how much data is at hand, so such a file decodes as OpenCV decodes it
// only in OpenCV's pieces. The source notes whether the coded data hold the
// pair.
struct JpegDecompressor
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr manager{};
    std::jmp_buf jump;
    bool complete = false;   // every row delivered
    jpeg_source_mgr source{};
    std::FILE *file = nullptr;
    double fileSize = 0;
    bool stdioPieces = false;   // reading as OpenCV does
    std::vector<JOCTET> buffer;   // no larger than the file needs
    bool startOfFile = true;
    bool coded = false;       // the coded data have begun
    bool fillBytes = false;   // and hold 0xff 0xff
    bool lastWasFf = false;

    JpegDecompressor(std::FILE *input, size_t piece)
        : file(input), fileSize(fileSizeOf(input)), stdioPieces(piece == StdioPiece),
          buffer(fileSize > 0 ? std::clamp(size_t(fileSize) + 1, size_t(2), piece) : piece)
    {
        info.err = jpeg_std_error(&manager);
        manager.error_exit = [](j_common_ptr common) { std::longjmp(of(common)->jump, 1); };
        manager.output_message = [](j_common_ptr) {};
        info.client_data = this;   // kept by jpeg_create_decompress
        source.init_source = [](j_decompress_ptr) {};
        source.fill_input_buffer = [](j_decompress_ptr common) -> boolean {
            JpegDecompressor *self = of(reinterpret_cast<j_common_ptr>(common));
            size_t got = std::fread(self->buffer.data(), 1, self->buffer.size(), self->file);
            if (got == 0) {
                if (self->startOfFile)
                    ERREXIT(common, JERR_INPUT_EMPTY);
                // Cut short: a fake end marker, and the rest decodes flat.
                WARNMS(common, JWRN_JPEG_EOF);
                self->buffer[0] = 0xff;
                self->buffer[1] = JPEG_EOI;
                got = 2;
            } else {
                self->look(self->buffer.data(), got);
            }
            self->source.next_input_byte = self->buffer.data();
            self->source.bytes_in_buffer = got;
            self->startOfFile = false;
            return TRUE;
        };
        source.skip_input_data = [](j_decompress_ptr common, long count) {
            jpeg_source_mgr &source = of(reinterpret_cast<j_common_ptr>(common))->source;
            for (; count > long(source.bytes_in_buffer); source.fill_input_buffer(common))
                count -= long(source.bytes_in_buffer);
            if (count > 0) {
                source.next_input_byte += count;
                source.bytes_in_buffer -= size_t(count);
            }
        };
        source.resync_to_restart = jpeg_resync_to_restart;
        source.term_source = [](j_decompress_ptr) {};
    }
    ~JpegDecompressor() { jpeg_destroy_decompress(&info); }
    JpegDecompressor(const JpegDecompressor &) = delete;
    JpegDecompressor &operator=(const JpegDecompressor &) = delete;

    static JpegDecompressor *of(j_common_ptr common) { return static_cast<JpegDecompressor *>(common->client_data); }

    // Notes 0xff 0xff in bytes of the coded data.
    void look(const JOCTET *bytes, size_t count)
    {
        if (!coded || fillBytes || !count)
            return;
        fillBytes = lastWasFf && bytes[0] == 0xff;
        for (const JOCTET *at = bytes, *end = bytes + count; !fillBytes && at + 1 < end; ++at) {
            at = static_cast<const JOCTET *>(std::memchr(at, 0xff, size_t(end - 1 - at)));
            if (!at)
                break;
            fillBytes = at[1] == 0xff;
        }
        lastWasFf = bytes[count - 1] == 0xff;
    }
};

// OpenCV's CMYK to blue-green-red formula.
void cmykToBgr(const uchar *cmyk, uchar *bgr, int width)
{
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = uchar(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = uchar(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = uchar(k - ((255 - cmyk[2]) * k >> 8));
    }
}

// Moves libjpeg on to output row `row`, leaving it as reading the rows in
// between would.
//
// jpeg_skip_scanlines (libjpeg-turbo 2.1) does not always. Rows come out of
// the upsampler in groups of max_v_samp_factor rows, and a skip that starts
// inside a group and passes its end goes wrong: where no smoothing reads
// the neighbouring groups it counts the groups skipped from the group's
// start, and where smoothing does (fancy upsampling of chroma halved
// down), a skip out of the last group of an iMCU row with 2 or 3 of its 4
// rows left decodes the next iMCU row, already decoded by then, once more
// from the data that follow it. Every other skip is sound: within a group
// it reads the rows (without colour conversion), and from the start of a
// group it moves on by whole groups or iMCU rows and reads the rest. So a
// skip that would leave a group part-way is made in two: to the group's
// end, which libjpeg reads, and on from there.
void skipTo(jpeg_decompress_struct &info, JDIMENSION row)
{
    const JDIMENSION at = info.output_scanline, group = JDIMENSION(info.max_v_samp_factor);
    if (row <= at)
        return;
    const JDIMENSION groupEnd = (at / group + 1) * group;
    if (at % group && row > groupEnd)
        jpeg_skip_scanlines(&info, groupEnd - at);
    jpeg_skip_scanlines(&info, row - info.output_scanline);
}

// A byte count as libjpeg's memory limit takes it, whatever the size of long.
long asLong(double bytes)
{
    return bytes >= double(std::numeric_limits<long>::max()) ? std::numeric_limits<long>::max()
                                                             : long(std::max(bytes, 0.0));
}

// The steps libjpeg may jump out of. Everything they make lives in the
// caller's objects, so that a jump loses nothing.
Outcome decodeJpeg(JpegDecompressor &jpeg, double memoryLimit, cv::Mat &picture, Placement &p,
                   std::vector<uchar> &scratch)
{
    // As in OpenCV, an error after the last row (in the markers that follow
    // the picture) does not undo the reading.
    if (setjmp(jpeg.jump))
        return jpeg.complete ? Outcome::Read : Outcome::Failed;
    jpeg_decompress_struct &info = jpeg.info;
    jpeg_create_decompress(&info);
    info.src = &jpeg.source;
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&info, TRUE);
    jpeg.coded = true;
    jpeg.look(jpeg.source.next_input_byte, jpeg.source.bytes_in_buffer);
    // A progressive (or other multi-scan) file is decoded whole into
    // coefficients, 128 bytes a block, before any row comes out. A file cut
    // short can declare far more blocks than its data could fill: a few
    // hundred bytes would commit gigabytes for a picture that is nearly all
    // flat gray. With Huffman coding every block takes at least one bit of
    // the scan that holds its DC coefficient, so a file needs at most 1024
    // times its size; one that needs more (and more than 64 MB) cannot be
    // whole and is refused. Arithmetic coding can take less than a bit a
    // block: such files are bounded by the memory limit alone.
    if (jpeg_has_multiple_scans(&info) && !info.arith_code) {
        double coefficients = 0;
        for (int c = 0; c < info.num_components; ++c)
            coefficients += 128.0 * info.comp_info[c].width_in_blocks * info.comp_info[c].height_in_blocks;
        if (coefficients > 64.0 * 1048576 && coefficients > 1024.0 * jpeg.fileSize)
            return Outcome::Failed;
    }
    int orientation = 1;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            orientation = jpegExifOrientation(marker->data, marker->data_length);
            break;
        }
    }
    if (!orientation)
        return Outcome::NotMine;

    const bool cmyk = info.num_components == 4;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    info.out_color_components = cmyk ? 4 : 3;
    jpeg_calc_output_dimensions(&info);
    const int width = int(info.output_width);
    p = placement(width, int(info.output_height), orientation);
    // The rows, the row decoded and its conversion, and libjpeg's working
    // rows (an iMCU row and its neighbours, and the upsampled rows); what is
    // left may go to its whole-picture buffers.
    const double rowGroup = 8.0 * info.max_v_samp_factor;
    const double ours = pictureBytes(p) + 7.0 * width + 3 * rowGroup * width * info.num_components;
    if (ours > memoryLimit)
        return Outcome::Failed;
    info.mem->max_memory_to_use = asLong(memoryLimit - ours);
    picture = uprightPicture(p);
    scratch.resize(size_t(width) * 7);
    uchar *const bgr = cmyk ? scratch.data() + 4 * size_t(width) : scratch.data();

    // Most files need only the blocks holding the panel's pixels. Where that
    // decoding cannot be exact, libjpeg reads on from the end of the header
    // (and reads again in OpenCV's pieces without trying it a second time).
    if (!cmyk && !jpeg.stdioPieces) {
        const long resume = std::ftell(jpeg.file);
        if (decodeJpegPixels(info, jpeg.source.next_input_byte, jpeg.source.bytes_in_buffer, jpeg.file,
                             memoryLimit - ours, p.storedRows, p.storedColumns,
                             [&](int y, const uchar *bgr) { putPixels(picture, p, y, bgr); }))
            return Outcome::Read;
        if (resume < 0 || std::fseek(jpeg.file, resume, SEEK_SET) != 0)
            return Outcome::Failed;
    }

    // A row that lands as it is decoded goes straight into the picture.
    const bool direct = !cmyk && !p.transposed && !p.flipX;
    jpeg_start_decompress(&info);
    for (const int y : p.storedRows) {
        skipTo(info, JDIMENSION(y));
        JSAMPROW row = direct ? picture.ptr(p.flipY ? p.height - 1 - y : y) : scratch.data();
        jpeg_read_scanlines(&info, &row, 1);
        if (cmyk)
            cmykToBgr(row, bgr, width);
        if (!direct)
            putRow(picture, p, y, bgr);
    }
    // Skipping to the end reads no more of the data: OpenCV would decode
    // it, but an error in it could only come after the last row.
    jpeg_skip_scanlines(&info, info.output_height - info.output_scanline);
    if (jpeg.fillBytes && !jpeg.stdioPieces)
        return Outcome::Again;
    jpeg.complete = true;
    jpeg_finish_decompress(&info);
    return Outcome::Read;
}

// ---- PNG, as OpenCV's decoder reads it

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
// walked up to IEND before libpng allocates anything. Not when a chunk
// declares more bytes than the file holds: no reader gets past it, and
// libpng would first allocate and clear a chunk of up to 2 GB. Nor when the
// rows the header declares need more than 1032 times the bytes of all the
// image data: deflate cannot expand more than that (a match of 258 bytes
// takes at least two bits), so the data run out long before the picture
// ends, after libpng has inflated gigabytes. Anything else is left to libpng.
bool pngDataCanFill(std::FILE *file)
{
    const double fileSize = fileSizeOf(file);
    double at = 8, imageData = 0, raw = 0;
    for (uchar head[8 + 13]; at + 12 <= fileSize; ) {
        const bool header = at == 8;
        if (pread(fileno(file), head, header ? sizeof head : 8, off_t(at)) < 8)
            return true;
        const double length = bigEndian32(head);
        if (at + 12 + length > fileSize)
            return false;
        if (std::memcmp(head + 4, "IHDR", 4) == 0 && header && length == 13)
            raw = rawPngBytes(head + 8);
        else if (std::memcmp(head + 4, "IDAT", 4) == 0)
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

std::optional<cv::Mat> result(Outcome outcome, const cv::Mat &picture)
{
    if (outcome == Outcome::NotMine)
        return std::nullopt;
    return outcome == Outcome::Read ? picture : cv::Mat();
}

} // namespace

std::optional<cv::Mat> readPanelRows(const std::string &path, double memoryLimit)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file)
        return cv::Mat();
    uchar signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof signature, file.get());
    std::rewind(file.get());
    static const uchar jpeg[] = {0xff, 0xd8, 0xff};
    static const uchar png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    cv::Mat picture;
    Placement p;
    if (got >= sizeof jpeg && std::equal(jpeg, jpeg + sizeof jpeg, signature)) {
        std::vector<uchar> scratch;
        Outcome outcome = Outcome::Again;
        for (const size_t piece : {size_t(1) << 18, StdioPiece}) {
            std::rewind(file.get());
            JpegDecompressor decompressor(file.get(), piece);
            if ((outcome = decodeJpeg(decompressor, memoryLimit, picture, p, scratch)) != Outcome::Again)
                break;
        }
        return result(outcome, picture);
    }
    if (got == sizeof png && std::equal(png, png + sizeof png, signature)) {
        if (!pngDataCanFill(file.get()))
            return cv::Mat();
        PngDecompressor reader;
        if (!reader.png || !reader.info || !reader.end)
            return cv::Mat();
        cv::Mat kept;
        std::vector<int> keptIndex;
        return result(decodePng(reader, file.get(), memoryLimit, picture, p, kept, keptIndex), picture);
    }
    return std::nullopt;
}

} // namespace sixfold
