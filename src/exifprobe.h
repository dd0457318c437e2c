#ifndef EXIFPROBE_H
#define EXIFPROBE_H

// The EXIF orientation OpenCV gives a JPEG or PNG, asked of OpenCV itself.

#include <cstdint>

namespace sixfold {

// The orientation cv::imread gives a JPEG whose first APP1 segment holds
// these bytes (after its length); 0 when that cannot be told.
int jpegExifOrientation(const unsigned char *app1, unsigned length);

// The orientation cv::imread gives a PNG whose eXIf chunk holds these
// bytes; 0 when that cannot be told.
int pngExifOrientation(const unsigned char *exif, uint32_t length);

} // namespace sixfold

#endif // EXIFPROBE_H
