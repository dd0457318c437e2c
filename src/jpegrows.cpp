// Decoding only the panel's rows of JPEG files.
//
// libjpeg is called as OpenCV's own JPEG decoder calls it (the same colour
// conversions and error handling), so the rows written hold the bytes
// cv::imread would.

#include "jpegrows.h"

#include "exif.h"
#include "filewalk.h"
#include "jpegbound.h"
#include "jpegpixels.h"
#include "placement.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <jerror.h>

namespace sixfold {

namespace {

// What a decoder made of a file.
enum class Outcome { Read, Failed, NotMine, Again };   // again: in OpenCV's pieces

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
    // Files whose data cannot fill the picture they declare cost gigabytes
    // for a flat gray picture.
    if (!jpegDataCanFill(info, jpeg.file))
        return Outcome::Failed;
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
    // decoding cannot be exact, libjpeg reads on from the end of the header,
    // where the stream still stands (and reads again in OpenCV's pieces
    // without trying it a second time).
    if (!cmyk && !jpeg.stdioPieces &&
        decodeJpegPixels(info, jpeg.source.next_input_byte, jpeg.source.bytes_in_buffer, jpeg.file,
                         memoryLimit - ours, p.storedRows, p.storedColumns,
                         [&](int y, const uchar *bgr) { putPixels(picture, p, y, bgr); }))
        return Outcome::Read;

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

} // namespace

std::optional<cv::Mat> readJpegRows(std::FILE *file, double memoryLimit)
{
    cv::Mat picture;
    Placement p;
    std::vector<uchar> scratch;
    Outcome outcome = Outcome::Again;
    for (const size_t piece : {size_t(1) << 16, StdioPiece}) {
        std::rewind(file);
        JpegDecompressor decompressor(file, piece);
        if ((outcome = decodeJpeg(decompressor, memoryLimit, picture, p, scratch)) != Outcome::Again)
            break;
    }
    if (outcome == Outcome::NotMine)
        return std::nullopt;
    return outcome == Outcome::Read ? picture : cv::Mat();
}

} // namespace sixfold
