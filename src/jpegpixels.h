#ifndef JPEGPIXELS_H
#define JPEGPIXELS_H

// Decoding chosen pixels of a baseline JPEG exactly as libjpeg-turbo does.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace sixfold {

// Decodes the pixels of a sequential Huffman-coded 8-bit JPEG (grayscale,
// or YCbCr with chroma halved in either direction or not at all) at the
// given stored rows and columns, both increasing, as jpeg_read_scanlines
// with JCS_EXT_BGR would give them. `info` has read the header up to the
// scan; the coded data are the `pending` bytes its source still holds,
// then the rest of `file` (if any). Each row's pixels at the columns, blue-green-red,
// go to `put`.
//
// False (and `file` read further) when the file is not one this decodes
// exactly: another kind of JPEG, data cut short, a marker inside them, or
// values in the range where libjpeg's SIMD and plain code could differ. Also
// false where decoding block by block would not pay (the chosen pixels lie
// in more than a quarter of the MCUs and are more than a percent of the
// picture's), where its buffers would take more
// than memoryLimit bytes, and always with a libjpeg whose arithmetic it is
// not known to share: another version at build time, or one that decodes a
// small picture of its own otherwise, checked on the first call.
bool decodeJpegPixels(const jpeg_decompress_struct &info, const JOCTET *pending, size_t pendingBytes,
                      std::FILE *file, double memoryLimit, const std::vector<int> &rows,
                      const std::vector<int> &columns,
                      const std::function<void(int row, const unsigned char *bgr)> &put);

// Whether the decoder is built, for the libjpeg-turbo versions whose
// arithmetic it follows; and whether it then decodes a small picture of
// each kind it takes exactly as the libjpeg in use does, checked once, the
// first time it is needed. Without both it is never used.
bool blockDecoderBuilt();
bool blockDecoderAgreesWithLibjpeg();

} // namespace sixfold

#endif // JPEGPIXELS_H
