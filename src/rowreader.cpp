// Decoding only the panel's rows of JPEG and PNG files.
//
// Both readers call libjpeg and libpng as OpenCV's own JPEG and PNG decoders
// do (the same colour conversions, transforms and error handling), so the
// rows they write hold the bytes cv::imread would. EXIF orientation is taken
// from OpenCV itself: the file's EXIF block is put into a tiny picture of
// known corners, which OpenCV decodes and turns.

#include "rowreader.h"

#include "imageops.h"
#include "jpegpixels.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <cstdio>
#include <memory>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
#include <zlib.h>

#include <sys/mman.h>
#include <sys/stat.h>

namespace sixfold {

namespace {

// Holds the pixel memory of the pictures read here: anonymous memory mapped
// without reserving swap and without huge pages, so that only the pages that
// rows are written to are ever committed.
struct LazyPixels final : cv::MatAllocator
{
    cv::UMatData *allocate(int dims, const int *sizes, int type, void *data, size_t *step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data && step[i] != cv::Mat::AUTO_STEP)
                    total = step[i];
                else
                    step[i] = total;
            }
            total *= size_t(sizes[i]);
        }
        void *memory = data;
        if (!memory) {
            memory = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (memory == MAP_FAILED)
                CV_Error(cv::Error::StsNoMem, "no address space for the picture");
            madvise(memory, total, MADV_NOHUGEPAGE);
        }
        auto *u = new cv::UMatData(this);
        u->size = total;
        u->data = u->origdata = static_cast<uchar *>(memory);
        if (data)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData *u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData *u) const override
    {
        if (u && !(u->flags & cv::UMatData::USER_ALLOCATED))
            munmap(u->origdata, u->size);
        delete u;
    }
};

// Where the rows a decoder delivers go in the upright picture. EXIF
// orientation is applied as OpenCV applies it: transposed first (5 to 8),
// then mirrored left to right and top to bottom.
struct Placement
{
    int width = 0, height = 0;   // as stored
    bool transposed = false, flipX = false, flipY = false;
    std::vector<int> rows;         // upright rows the panel reads
    std::vector<int> storedRows;   // the stored rows they need, increasing
    std::vector<int> storedColumns;   // and the columns of those rows, increasing
};

Placement placement(int width, int height, int orientation)
{
    Placement p;
    p.width = width;
    p.height = height;
    p.transposed = orientation >= 5 && orientation <= 8;
    p.flipX = orientation == 2 || orientation == 3 || orientation == 6 || orientation == 7;
    p.flipY = orientation == 3 || orientation == 4 || orientation == 7 || orientation == 8;
    // Upright, a stored row is a row, or a column when transposed; of a
    // column only the pixels in the panel's rows are needed.
    p.rows = panelSourceRows(p.transposed ? width : height);
    const std::vector<int> lines = p.transposed ? panelSourceColumns(height) : p.rows;
    const bool mirrored = p.transposed ? p.flipX : p.flipY;
    for (const int line : lines)
        p.storedRows.push_back(mirrored ? height - 1 - line : line);
    std::sort(p.storedRows.begin(), p.storedRows.end());
    const std::vector<int> across = p.transposed ? p.rows : panelSourceColumns(width);
    for (const int column : across)
        p.storedColumns.push_back((p.transposed ? p.flipY : p.flipX) ? width - 1 - column : column);
    std::sort(p.storedColumns.begin(), p.storedColumns.end());
    return p;
}

// The upright picture, its pixel memory not yet committed; empty if the
// rows the panel needs would take more than the limit.
cv::Mat uprightPicture(const Placement &p, double memoryLimit)
{
    const int width = p.transposed ? p.height : p.width;
    const int height = p.transposed ? p.width : p.height;
    if (double(p.rows.size()) * width * 3 > memoryLimit)
        return {};
    static LazyPixels *const allocator = new LazyPixels;   // outlives every picture
    cv::Mat picture;
    picture.allocator = allocator;
    picture.create(height, width, CV_8UC3);
    return picture;
}

// Where stored pixel (x, y) lands in the upright picture.
cv::Vec3b &uprightPixel(cv::Mat &picture, const Placement &p, int y, int x)
{
    if (p.transposed)
        return picture.ptr<cv::Vec3b>(p.flipY ? p.width - 1 - x : x)[p.flipX ? p.height - 1 - y : y];
    return picture.ptr<cv::Vec3b>(p.flipY ? p.height - 1 - y : y)[p.flipX ? p.width - 1 - x : x];
}

// Puts the pixels the panel reads of stored row y (blue-green-red), the
// whole row given, where the orientation takes them.
void putRow(cv::Mat &picture, const Placement &p, int y, const uchar *row)
{
    const auto *pixels = reinterpret_cast<const cv::Vec3b *>(row);
    for (const int x : p.storedColumns)
        uprightPixel(picture, p, y, x) = pixels[x];
}

// The same, given only those pixels, one after another.
void putPixels(cv::Mat &picture, const Placement &p, int y, const uchar *bgr)
{
    const auto *pixels = reinterpret_cast<const cv::Vec3b *>(bgr);
    for (const int x : p.storedColumns)
        uprightPixel(picture, p, y, x) = *pixels++;
}

// ---- EXIF orientation, as OpenCV reads it

// The probe: 24 x 16 gray, in 8 x 8 blocks whose four corners have the
// levels 0 (top left), 80 (top right), 160 (bottom left) and 240.
std::vector<uchar> probe(const char *extension)
{
    cv::Mat gray(16, 24, CV_8UC1, cv::Scalar(120));
    gray(cv::Rect(0, 0, 8, 8)).setTo(0);
    gray(cv::Rect(16, 0, 8, 8)).setTo(80);
    gray(cv::Rect(0, 8, 8, 8)).setTo(160);
    gray(cv::Rect(16, 8, 8, 8)).setTo(240);
    std::vector<uchar> bytes;
    cv::imencode(extension, gray, bytes, {cv::IMWRITE_JPEG_QUALITY, 100});
    return bytes;
}

// The orientation OpenCV gives the probe file with a block of bytes
// spliced in at the given offset, from the decoded probe's shape and the
// corner that ended up at its top left; 0 if it is not a probe's shape.
int orientationOfProbe(const std::vector<uchar> &base, size_t at, const std::vector<uchar> &block)
{
    std::vector<uchar> file(base.size() + block.size());
    std::copy(base.begin(), base.begin() + long(at), file.begin());
    std::copy(block.begin(), block.end(), file.begin() + long(at));
    std::copy(base.begin() + long(at), base.end(), file.begin() + long(at + block.size()));
    const cv::Mat decoded = cv::imdecode(file, cv::IMREAD_COLOR);
    const bool transposed = decoded.cols == 16 && decoded.rows == 24;
    if (!transposed && !(decoded.cols == 24 && decoded.rows == 16))
        return 0;
    const int corner = (decoded.at<cv::Vec3b>(0, 0)[0] + 40) / 80;   // 0 TL, 1 TR, 2 BL, 3 BR
    static const int upright[] = {1, 2, 4, 3};
    static const int turned[] = {5, 8, 6, 7};
    return transposed ? turned[corner] : upright[corner];
}

// The orientation cv::imread gives a JPEG whose first APP1 segment holds
// these bytes: the probe with that segment after its start marker.
int jpegOrientation(const uchar *app1, unsigned length)
{
    static const std::vector<uchar> base = probe(".jpg");
    std::vector<uchar> segment(4 + length);
    const unsigned size = length + 2;
    segment[0] = 0xff;
    segment[1] = 0xe1;
    segment[2] = uchar(size >> 8);
    segment[3] = uchar(size);
    std::copy(app1, app1 + length, segment.begin() + 4);
    return orientationOfProbe(base, 2, segment);
}

// The orientation cv::imread gives a PNG with this eXIf chunk: the probe
// with the chunk after its header.
int pngOrientation(const uchar *exif, png_uint_32 length)
{
    static const std::vector<uchar> base = probe(".png");
    std::vector<uchar> chunk(12 + size_t(length));
    const uchar head[] = {uchar(length >> 24), uchar(length >> 16), uchar(length >> 8), uchar(length),
                          'e', 'X', 'I', 'f'};
    std::copy(head, head + 8, chunk.begin());
    std::copy(exif, exif + length, chunk.begin() + 8);
    const uLong crc = crc32(0, chunk.data() + 4, uInt(length + 4));
    for (int i = 0; i < 4; ++i)
        chunk[8 + length + i] = uchar(crc >> (24 - 8 * i));
    return orientationOfProbe(base, 8 + 25, chunk);   // after the signature and IHDR
}

// What a decoder made of a file.
enum class Outcome { Read, Failed, NotMine, Again };   // again: in OpenCV's pieces

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
    std::vector<JOCTET> buffer;
    bool startOfFile = true;
    bool coded = false;       // the coded data have begun
    bool fillBytes = false;   // and hold 0xff 0xff
    bool lastWasFf = false;

    JpegDecompressor(std::FILE *input, size_t piece) : file(input), buffer(piece)
    {
        struct stat status{};
        if (fstat(fileno(input), &status) == 0)
            fileSize = double(status.st_size);
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
    // Whole-picture buffers (progressive files) beyond the limit fail.
    info.mem->max_memory_to_use = long(std::min(memoryLimit, 1e15));
    info.src = &jpeg.source;
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&info, TRUE);
    jpeg.coded = true;
    jpeg.look(jpeg.source.next_input_byte, jpeg.source.bytes_in_buffer);
    // A progressive (or other multi-scan) file is decoded whole into
    // coefficients, 128 bytes a block, before any row comes out. A file cut
    // short can declare far more blocks than its data could fill: a few
    // hundred bytes would commit gigabytes for a picture that is nearly all
    // flat gray. What needs more than a thousand times the file's size (and
    // more than 64 MB; photos need some twenty times) is refused.
    if (jpeg_has_multiple_scans(&info)) {
        double coefficients = 0;
        for (int c = 0; c < info.num_components; ++c)
            coefficients += 128.0 * info.comp_info[c].width_in_blocks * info.comp_info[c].height_in_blocks;
        if (coefficients > 64.0 * 1048576 && coefficients > 1000.0 * jpeg.fileSize)
            return Outcome::Failed;
    }
    int orientation = 1;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            orientation = jpegOrientation(marker->data, marker->data_length);
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
    picture = uprightPicture(p, memoryLimit);
    if (picture.empty())
        return Outcome::Failed;
    scratch.resize(size_t(width) * 7);   // the decoded row, and a CMYK one's conversion
    uchar *const bgr = cmyk ? scratch.data() + 4 * size_t(width) : scratch.data();

    // Most files need only the blocks holding the panel's pixels. Where that
    // decoding cannot be exact, libjpeg reads on from the end of the header
    // (and reads again in OpenCV's pieces without trying it a second time).
    if (!cmyk && jpeg.buffer.size() != StdioPiece) {
        const long resume = std::ftell(jpeg.file);
        if (decodeJpegPixels(info, jpeg.source.next_input_byte, jpeg.source.bytes_in_buffer, jpeg.file,
                             p.storedRows, p.storedColumns,
                             [&](int y, const uchar *bgr) { putPixels(picture, p, y, bgr); }))
            return Outcome::Read;
        if (resume < 0 || std::fseek(jpeg.file, resume, SEEK_SET) != 0)
            return Outcome::Failed;
    }

    // A row that lands as it is decoded goes straight into the picture.
    const bool direct = !cmyk && !p.transposed && !p.flipX;
    jpeg_start_decompress(&info);
    for (const int y : p.storedRows) {
        if (JDIMENSION(y) > info.output_scanline)
            jpeg_skip_scanlines(&info, JDIMENSION(y) - info.output_scanline);
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
    if (jpeg.fillBytes && jpeg.buffer.size() != StdioPiece)
        return Outcome::Again;
    jpeg.complete = true;
    jpeg_finish_decompress(&info);
    return Outcome::Read;
}

// ---- PNG, as OpenCV's decoder reads it

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

// The orientation of the eXIf chunk the record holds; 1 without one.
int pngOrientation(png_structp png, png_infop info)
{
    png_uint_32 length = 0;
    png_bytep exif = nullptr;
    if (!png_get_valid(png, info, PNG_INFO_eXIf) || !png_get_eXIf_1(png, info, &length, &exif) || !exif
        || !length)
        return 1;
    return pngOrientation(exif, length);
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
    const int orientation = pngOrientation(png, reader.info);
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
    // rows of their own (as many again as the picture's); every other row
    // is decoded and dropped. The last row holds a kept row turned to
    // blue-green-red.
    const bool interlaced = passes > 1;
    p = placement(int(width), int(height), orientation);
    picture = uprightPicture(p, interlaced ? memoryLimit / 2 : memoryLimit);
    if (picture.empty())
        return Outcome::Failed;
    kept.create(interlaced ? int(p.storedRows.size()) + 1 : 2, int(width), CV_8UC3);
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
    if (!exifFirst && pngOrientation(png, reader.end) != 1)
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
