#ifndef CODECSMODULE_H
#define CODECSMODULE_H

// The entry points of the codecs module, as the module defines them and
// the program looks them up (see codecs.h).

#include <opencv2/core.hpp>

namespace sixfold::codecsmodule {

// The version of this interface: the program refuses a module of another.
constexpr int InterfaceVersion = 2;

// The interface version the module was built for.
using Version = int();
constexpr const char *VersionSymbol = "sixfold_codecs_version";

// cv::imread(path, IMREAD_COLOR) into *picture; false, and *picture empty,
// for a file it cannot read, exceptions included.
using Read = bool(const char *path, cv::Mat *picture);
constexpr const char *ReadSymbol = "sixfold_codecs_read";

} // namespace sixfold::codecsmodule

#endif // CODECSMODULE_H
