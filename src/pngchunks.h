#ifndef PNGCHUNKS_H
#define PNGCHUNKS_H

// A PNG decoded by the program itself: its chunks walked as libpng reads
// them, its image data inflated (inflater.h) and made into the panel's
// pixels (pngpixels.h).

#include <opencv2/core.hpp>

#include <cstdio>
#include <optional>

namespace sixfold {

// The picture of a PNG file (its signature already seen), as readPanelRows
// gives it (rowreader.h), for the files this decoder can tell libpng
// reads as a plain PNG under OpenCV's settings: every chunk whole with its
// CRC right, in an order libpng takes without a word, the critical ones
// known, image data that inflate exactly to the rows, row filters and
// palette indices libpng takes, an eXIf chunk only before the image data.
// No value for any other file, nor where its buffers exceed memoryLimit:
// those are libpng's to read.
std::optional<cv::Mat> readPngItself(std::FILE *file, double memoryLimit);

} // namespace sixfold

#endif // PNGCHUNKS_H
