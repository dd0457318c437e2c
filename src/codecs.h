#ifndef CODECS_H
#define CODECS_H

// OpenCV's image codecs, loaded from a module of the program's own the first
// time a file needs them.

#include <opencv2/core.hpp>

#include <string>

namespace sixfold {

// Reads a file as cv::imread with IMREAD_COLOR does: an empty matrix for a
// file it cannot read. The codecs live in the module sixfold-codecs.so,
// beside the program or in its library folder, so that a start does not
// load OpenCV's codec libraries and the many they pull in; the first call
// loads it. Without the module every file reads as empty, and each call
// says so in one line on standard error.
cv::Mat readWithCodecs(const std::string &path);

} // namespace sixfold

#endif // CODECS_H
