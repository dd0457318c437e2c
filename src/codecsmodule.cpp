// The module holding OpenCV's image codecs, which the program loads only
// when a file needs them (see codecs.h).

#include "codecsmodule.h"

#include <opencv2/imgcodecs.hpp>

#include <type_traits>

namespace module = sixfold::codecsmodule;

extern "C" __attribute__((visibility("default"))) int sixfold_codecs_version()
{
    return module::InterfaceVersion;
}

extern "C" __attribute__((visibility("default"))) bool sixfold_codecs_read(const char *path, cv::Mat *picture)
{
    try {
        *picture = cv::imread(path, cv::IMREAD_COLOR);
    } catch (...) {
        picture->release();
    }
    return !picture->empty();
}

// The names looked up are the ones defined here, with the types declared.
static_assert(std::is_same_v<decltype(sixfold_codecs_version), module::Version>);
static_assert(std::is_same_v<decltype(sixfold_codecs_read), module::Read>);
