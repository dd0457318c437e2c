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
//   than 16 times those of one with it. An AC scan's end-of-band runs cover
//   at most 32767 blocks with one code and the 14 bits after it, so its
//   blocks take at least 15/32767 of a bit each: a file of a few hundred
//   bytes whose scans are all AC scans is proven cut short all the same
//   beyond a few million blocks, but a whole one proves little.
// - Arithmetic coding adapts its probabilities, down to spending some
//   1/20000 of a bit on a flat block: a complete, legal file of a few
//   hundred bytes can hold a billion flat pixels, and a cut one decodes the
//   same way, so nothing in the data tells the two apart.
//
// So a file whose size its data cannot bound well (arithmetic-coded, or
// multi-scan without a DC scan and not proven cut short) is refused beyond
// the size cv::imread reads (2^30 pixels, unless OpenCV's environment says
// otherwise), and read like cv::imread within it. cv::imread refuses every
// such picture too, so the only files refused here that it reads whole are
// multi-scan Huffman files proven cut short, as above.

#include "jpegbound.h"

#include "filewalk.h"
#include "imreadlimit.h"
#include "jpegscans.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace sixfold {

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
    // The components some scan codes: 2 where one starting at coefficient 0
    // does, 1 where only AC scans do.
    std::vector<int> scanned(size_t(info.num_components), 0);
    for (const JpegScan &scan : jpegScript(info, window).scans)
        for (int k = 0; k < std::min(scan.count, MAX_COMPS_IN_SCAN); ++k)
            for (int c = 0; c < info.num_components; ++c)
                if (info.comp_info[c].component_id == scan.id[k])
                    scanned[size_t(c)] = std::max(scanned[size_t(c)], scan.Ss == 0 ? 2 : 1);
    // The fewest bits the scans of a whole file take, and of them those of
    // the DC scans.
    double bits = 0, dcBits = 0;
    for (int c = 0; c < info.num_components; ++c)
        if (scanned[size_t(c)]) {
            // The component's own blocks, as a scan of it alone codes them.
            const jpeg_component_info &component = info.comp_info[c];
            const double across = std::ceil(double(info.image_width) * component.h_samp_factor /
                                            info.max_h_samp_factor / DCTSIZE);
            const double down = std::ceil(double(info.image_height) * component.v_samp_factor /
                                          info.max_v_samp_factor / DCTSIZE);
            const double least = scanned[size_t(c)] == 2 ? across * down : across * down * 15 / 32767;
            bits += least;
            dcBits += scanned[size_t(c)] == 2 ? least : 0;
        }
    if (bits > 8 * window.fileSize)
        return false;
    return dcBits > 0 || imreadTakesIt;
}

} // namespace sixfold
