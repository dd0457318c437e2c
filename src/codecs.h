#ifndef CODECS_H
#define CODECS_H

// OpenCV's image codecs, loaded from a module of the program's own the first
// time a file needs them.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace sixfold {

// Reads a file as cv::imread with IMREAD_COLOR does: an empty matrix for a
// file it cannot read. The codecs live in the module sixfold-codecs.so, so
// that a start does not load OpenCV's codec libraries and the many they
// pull in; the first call loads it. Without a usable module every file
// reads as empty, and each call says why in one line on standard error.
cv::Mat readWithCodecs(const std::string &path);

// Where the module is looked for, in order, for the program at the given
// absolute path (empty when it cannot be told): beside the program and in
// the library folder of an installation around it, unless the program is
// the one installed where the build was configured to go; then in the
// library folder the build was configured for. Never a path relative to
// the current folder, and never a bare name for the library search path.
std::vector<std::string> codecsModuleCandidates(const std::string &program);

} // namespace sixfold

#endif // CODECS_H
