// The module holding OpenCV's image codecs, which the program loads only
// when a file needs them (see codecs.h).

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

// The version of this interface: the program refuses a module of another.
extern "C" __attribute__((visibility("default"))) int sixfold_codecs_version()
{
    return 1;
}

// cv::imread(path, IMREAD_COLOR) into *picture; false, and *picture empty,
// for a file it cannot read, exceptions included.
extern "C" __attribute__((visibility("default"))) bool sixfold_codecs_read(const char *path, cv::Mat *picture)
{
    try {
        *picture = cv::imread(path, cv::IMREAD_COLOR);
    } catch (...) {
        picture->release();
    }
    return !picture->empty();
}
