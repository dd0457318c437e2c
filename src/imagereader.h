#ifndef IMAGEREADER_H
#define IMAGEREADER_H

// Reading picture files for the views.

#include <opencv2/core.hpp>

#include <string>

namespace sixfold {

// Reads a file as the 8-bit, 3-channel blue-green-red picture that
// cv::imread with IMREAD_COLOR gives (turned upright by its EXIF
// orientation), or as libheif decodes it for HEIF files, which OpenCV
// cannot read.
//
// JPEG and PNG files are decoded by libjpeg and libpng directly, and only
// in the rows that scaling to the panel reads (panelSourceRows): the other
// rows of the picture are never written and take no memory. HEIF files go
// to libheif, other files to cv::imread whole (in the codecs module, see
// codecs.h), once their declared size is known to fit in the memory
// available.
//
// Returns an empty matrix for anything that is not a readable picture, or
// whose load would not fit in the memory available now (memorylimit.h):
// the buffers of its reading, what each reader was measured to take beside
// them, and a margin for the views; never throws.
cv::Mat readImage(const std::string &path);

// The same, with the memory the load may take given in bytes.
cv::Mat readImage(const std::string &path, double loadLimit);

} // namespace sixfold

#endif // IMAGEREADER_H
