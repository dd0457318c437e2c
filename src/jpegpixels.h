#ifndef JPEGPIXELS_H
#define JPEGPIXELS_H

// Decoding chosen pixels of a JPEG exactly as libjpeg-turbo does.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace sixfold {

// Decodes the pixels of a Huffman-coded 8-bit JPEG, sequential (of one scan
// or several) or progressive, grayscale or YCbCr with chroma halved in
// either direction or not at all, at the given stored rows and columns,
// both increasing, as jpeg_read_scanlines with JCS_EXT_BGR would give them.
// `info` has read the header up to the first scan; its coded data are the
// `pending` bytes its source still holds, then the rest of `file` from
// where the stream stands, and a file of several scans is walked for the
// others. The file is read at offsets: the stream does not move. Each row's
// pixels at the columns, blue-green-red, go to `put`.
//
// False when the file is not one this decodes exactly: another kind of
// JPEG, data cut short, a marker inside them, a progression libjpeg refuses,
// warns about or would smooth, or values in the range where libjpeg's SIMD
// and plain code could differ. Also false where decoding block by block
// would not pay (a sequential file whose chosen pixels lie in more than a
// quarter of the MCUs and are more than 3% of the picture's), where its
// buffers would take more than memoryLimit bytes, and always with a libjpeg
// whose arithmetic it is not known to share: another version at build
// time, or one that decodes small pictures of its own otherwise, checked on
// the first call.
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
