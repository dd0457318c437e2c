#ifndef EXIF_H
#define EXIF_H

// The EXIF orientation OpenCV applies to a picture, read from its EXIF block.

#include <cstddef>

namespace sixfold {

// The orientation, 1 to 8, that cv::imread applies to a JPEG whose first
// APP1 segment holds these bytes (after its length), or to a PNG whose eXIf
// chunk holds them: 1 where it applies none. 0 where that cannot be told
// for certain: the block is read exactly as OpenCV 4.6 and 4.10 read it,
// and a program built with another OpenCV leaves every EXIF block to
// OpenCV (exifAsOpenCvReadsIt is false then).
int jpegExifOrientation(const unsigned char *app1, size_t length);
int pngExifOrientation(const unsigned char *exif, size_t length);
bool exifAsOpenCvReadsIt();

} // namespace sixfold

#endif // EXIF_H
