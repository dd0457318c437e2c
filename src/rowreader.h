#ifndef ROWREADER_H
#define ROWREADER_H

// Decoding only the panel's rows of JPEG and PNG files.

#include <opencv2/core.hpp>

#include <optional>
#include <string>

namespace sixfold {

// Reads a JPEG or PNG file with libjpeg or libpng into a full-size 8-bit
// blue-green-red picture, but writes only the rows panelSourceRows names,
// and of them only the columns panelSourceColumns names; the others are
// left unwritten in memory that is committed only when written to. The
// pixels written are those cv::imread with IMREAD_COLOR gives, EXIF
// orientation included. Unlike cv::imread, it does not refuse pictures
// beyond OpenCV's limit on pixel count (2^30) whose data bound their size
// (jpegbound.h): their rows are read all the same.
//
// The result is the picture, or an empty matrix when the file cannot be
// read (a FIFO, a device or a folder among them, refused at once), when
// the buffers it needs (the rows, and every buffer of the decoding) would
// take more than memoryLimit bytes, or when its data could never fill the
// picture it declares (a few bytes declaring gigabytes). It is no value at
// all when the file is neither JPEG nor PNG, or when matching cv::imread is
// not certain for it (an eXIf chunk after a PNG's pixels, an EXIF block
// whose orientation cannot be told, an unusual transform result): such a
// file is for cv::imread to read whole.
std::optional<cv::Mat> readPanelRows(const std::string &path, double memoryLimit);

// The same for a file already opened.
struct RegularFile;
std::optional<cv::Mat> readPanelRows(const RegularFile &file, double memoryLimit);

} // namespace sixfold

#endif // ROWREADER_H
