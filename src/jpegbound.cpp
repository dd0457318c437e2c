// Whether a JPEG's data can fill the picture its header declares, where
// libjpeg would otherwise commit memory and time for a picture they cannot.
//
// A single-scan Huffman-coded file is decoded row by row: a few bytes
// declaring a huge picture cost only the time to pass over its blocks,
// which take at least two bits each. Other files cost more than their data
// can tell:
//
// - A multi-scan file (progressive, or a scan per component) is decoded
//   whole into coefficients, 128 bytes a block, before any row comes out.
//   With Huffman coding, every block of a scan that holds DC coefficients
//   (the scans that start at coefficient 0) takes at least one bit, so a
//   whole file holds at least as many bits as the blocks of the components
//   those scans code. A file with fewer is cut short, and one whose
//   coefficients then take more than 64 MB is refused: cv::imread would
//   commit gigabytes for a picture that is nearly all flat gray. The blocks
//   of a component without such a scan cost no bits at all, but no more
//   than 16 times those of one with it. The AC scans' end-of-band runs
//   cover thousands of blocks with one code, so a file without a DC scan
//   proves nothing.
// - Arithmetic coding adapts its probabilities, down to spending some
//   1/20000 of a bit on a flat block: a complete, legal file of a few
//   hundred bytes can hold a billion flat pixels, and a cut one decodes the
//   same way, so nothing in the data tells the two apart.
//
// So a file whose size its data cannot bound (arithmetic-coded, or
// multi-scan without a DC scan) is refused beyond the size cv::imread reads
// (2^30 pixels, unless OpenCV's environment says otherwise), and read like
// cv::imread within it. cv::imread refuses every
// such picture too, so the only files refused here that it reads whole are
// multi-scan Huffman files proven cut short, as above.

#include "jpegbound.h"

#include "filewalk.h"
#include "imreadlimit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace sixfold {

namespace {

// Which components (by index) some scan starting at coefficient 0 codes,
// from the scan headers of the whole file, walked as libjpeg reads markers:
// any bytes up to a 0xff, then the marker; segments skipped by their
// length, coded data passed over to the next marker, up to the end of the
// picture.
std::vector<bool> componentsWithDc(const jpeg_decompress_struct &info, FileWindow &window)
{
    std::vector<bool> dc(size_t(info.num_components), false);
    double at = 2;   // after the start marker
    for (;;) {
        // The next 0xff, and the marker after any fill bytes.
        unsigned char code = 0;
        for (;;) {
            const size_t count = size_t(std::min(double(FileWindow::Size), window.fileSize - at));
            const unsigned char *bytes = window.bytes(at, count);
            if (!bytes || count < 2)
                return dc;
            const void *mark = std::memchr(bytes, 0xff, count - 1);
            if (!mark) {
                at += double(count - 1);
                continue;
            }
            at += double(static_cast<const unsigned char *>(mark) - bytes);
            const unsigned char *next = window.bytes(at + 1, 1);
            if (!next)
                return dc;
            if ((code = *next) != 0xff)
                break;
            at += 1;
        }
        if (code == 0 || code == 0x01 || (code >= JPEG_RST0 && code <= JPEG_RST0 + 7)) {
            at += 2;   // a 0xff byte of coded data, or a marker without a segment
            continue;
        }
        if (code == JPEG_EOI || code == 0xd8)
            return dc;
        const unsigned char *head = window.bytes(at + 2, 2);
        if (!head)
            return dc;
        const size_t length = size_t(head[0] << 8 | head[1]);
        if (code == 0xda && length >= 6) {
            // Components, a byte and tables each; then Ss, Se, Ah and Al.
            const unsigned char *scan = window.bytes(at + 4, length - 2);
            const size_t components = scan ? scan[0] : 0;
            if (scan && length == 6 + 2 * components && scan[1 + 2 * components] == 0) {
                for (size_t k = 0; k < components; ++k)
                    for (int c = 0; c < info.num_components; ++c)
                        if (info.comp_info[c].component_id == scan[1 + 2 * k])
                            dc[size_t(c)] = true;
            }
        }
        at += 2 + double(length);
    }
}

} // namespace

bool jpegDataCanFill(const jpeg_decompress_struct &info, std::FILE *file)
{
    const bool imreadTakesIt = imreadTakes(info.image_width, info.image_height);
    if (info.arith_code)
        return imreadTakesIt;
    if (!jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&info)))
        return true;
    double blocks = 0;
    for (int c = 0; c < info.num_components; ++c)
        blocks += double(info.comp_info[c].width_in_blocks) * info.comp_info[c].height_in_blocks;
    FileWindow window(file);
    // Whole files hold at least a bit a block of every component, unless
    // some have no DC scan: only then is the walk needed.
    if (128 * blocks <= 64.0 * 1048576 || blocks <= 8 * window.fileSize)
        return true;
    const std::vector<bool> dc = componentsWithDc(info, window);
    double bounded = 0;
    for (int c = 0; c < info.num_components; ++c)
        if (dc[size_t(c)]) {
            // The component's own blocks, as a scan of it alone codes them.
            const jpeg_component_info &component = info.comp_info[c];
            const double across = std::ceil(double(info.image_width) * component.h_samp_factor /
                                            info.max_h_samp_factor / DCTSIZE);
            const double down = std::ceil(double(info.image_height) * component.v_samp_factor /
                                          info.max_v_samp_factor / DCTSIZE);
            bounded += across * down;
        }
    if (bounded == 0)
        return imreadTakesIt;
    return bounded <= 8 * window.fileSize;
}

} // namespace sixfold
