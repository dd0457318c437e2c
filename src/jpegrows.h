#ifndef JPEGROWS_H
#define JPEGROWS_H

// Decoding only the panel's rows of JPEG files.

#include <opencv2/core.hpp>

#include <cstdio>
#include <optional>

namespace sixfold {

// readPanelRows (rowreader.h) for a file that starts as a JPEG does.
std::optional<cv::Mat> readJpegRows(std::FILE *file, double memoryLimit);

} // namespace sixfold

#endif // JPEGROWS_H
