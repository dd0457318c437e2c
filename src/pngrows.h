#ifndef PNGROWS_H
#define PNGROWS_H

// Decoding only the panel's rows of PNG files.

#include <opencv2/core.hpp>

#include <cstdio>
#include <optional>

namespace sixfold {

// readPanelRows (rowreader.h) for a file that starts as a PNG does.
std::optional<cv::Mat> readPngRows(std::FILE *file, double memoryLimit);

} // namespace sixfold

#endif // PNGROWS_H
