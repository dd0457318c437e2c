#ifndef JPEGBOUND_H
#define JPEGBOUND_H

// Whether a JPEG's data can fill the picture its header declares, where
// libjpeg would otherwise commit memory and time for a picture they cannot.

#include <cstddef>
#include <cstdio>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace sixfold {

// False for a file whose header (`info`, read up to its first scan) declares
// a picture its data are proven unable to fill, or that no data can be
// proven to fill, beyond what cv::imread reads; true for every other. See
// jpegbound.cpp for the rule, and why nothing cv::imread reads whole is
// refused.
bool jpegDataCanFill(const jpeg_decompress_struct &info, std::FILE *file);

} // namespace sixfold

#endif // JPEGBOUND_H
