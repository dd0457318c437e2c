#ifndef HEIFREADER_H
#define HEIFREADER_H

// HEIF pictures, decoded with libheif, which is loaded the first time a file
// may need it.

#include <opencv2/core.hpp>

#include <string>

namespace sixfold {

// The primary image of a HEIF file (HEIC, AVIF) as libheif decodes it to
// 8-bit RGB with its default conversion, turned to blue-green-red. Empty
// when the file is not one libheif reads, when its decoding would take
// more than memoryLimit bytes (checked before decoding), or when libheif
// cannot be loaded. libheif is loaded and started only for a file that
// begins with an ISO media file type box, as HEIF files do: a start, or a
// file of another kind, loads none of it and of the codec libraries it
// pulls in.
cv::Mat readHeif(const std::string &path, double memoryLimit);

} // namespace sixfold

#endif // HEIFREADER_H
