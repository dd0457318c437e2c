#ifndef IMREADLIMIT_H
#define IMREADLIMIT_H

// The largest picture cv::imread reads, as OpenCV's environment sets it,
// and whether OpenCV can read its environment's sizes at all.

namespace sixfold {

// Whether cv::imread takes a picture of this size: its width, height and
// pixel count within OPENCV_IO_MAX_IMAGE_WIDTH, OPENCV_IO_MAX_IMAGE_HEIGHT
// (2^20 each) and OPENCV_IO_MAX_IMAGE_PIXELS (2^30), read as OpenCV reads
// them: digits, then nothing, "KB" or "MB" (either letter in either case as
// OpenCV spells them). A value OpenCV cannot read, which keeps cv::imread
// from reading anything, takes no picture.
bool imreadTakes(double width, double height);

// The first of the sizes OpenCV's image codecs read from the environment as
// they are loaded that holds a value OpenCV cannot read; null if none.
// Loading them would then end the program (OpenCV throws before any code
// can catch it), so they are not loaded.
const char *unreadableCodecSetting();

} // namespace sixfold

#endif // IMREADLIMIT_H
