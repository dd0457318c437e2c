#ifndef ROWREADER_H
#define ROWREADER_H

// Decoding only the panel's rows of JPEG and PNG files.

#include <opencv2/core.hpp>

#include <optional>
#include <string>

namespace sixfold {

// Reads a JPEG or PNG file with libjpeg or libpng into a full-size 8-bit
// blue-green-red picture, exactly as cv::imread with IMREAD_COLOR would,
// EXIF orientation included, but writes only the rows panelSourceRows
// names; the others are left unwritten in memory that is committed only
// when written to.
//
// The result is the picture, or an empty matrix when the file cannot be
// read or its rows would take more than memoryLimit bytes. It is no value
// at all when the file is neither JPEG nor PNG, or when matching cv::imread
// is not certain for it (a Motion-JPEG frame without Huffman tables, say):
// such a file is for cv::imread to read whole.
std::optional<cv::Mat> readPanelRows(const std::string &path, double memoryLimit);

} // namespace sixfold

#endif // ROWREADER_H
