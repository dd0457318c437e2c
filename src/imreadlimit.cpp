// The largest picture cv::imread reads, as OpenCV's environment sets it,
// and whether OpenCV can read its environment's sizes at all.

#include "imreadlimit.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace sixfold {

namespace {

// A variable as OpenCV's configuration reads a size: its default when unset;
// no value where OpenCV throws (no digits, too many, another suffix).
// Multiplied by a suffix, it wraps around as OpenCV's size_t does.
std::optional<uint64_t> configuredSize(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    if (!text)
        return fallback;
    size_t digits = 0;
    while (std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0)
        return std::nullopt;
    errno = 0;
    const uint64_t value = std::strtoull(text, nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    const char *suffix = text + digits;
    if (!*suffix)
        return value;
    for (const char *mega : {"MB", "Mb", "mb"})
        if (std::strcmp(suffix, mega) == 0)
            return value * 1024 * 1024;
    for (const char *kilo : {"KB", "Kb", "kb"})
        if (std::strcmp(suffix, kilo) == 0)
            return value * 1024;
    return std::nullopt;
}

} // namespace

const char *unreadableCodecSetting()
{
    for (const char *name : {"OPENCV_IO_MAX_IMAGE_PARAMS", "OPENCV_IO_MAX_IMAGE_WIDTH", "OPENCV_IO_MAX_IMAGE_HEIGHT",
                             "OPENCV_IO_MAX_IMAGE_PIXELS", "OPENCV_IMGCODECS_WEBP_MAX_FILE_SIZE",
                             "OPENCV_IMGCODECS_AVIF_MAX_FILE_SIZE"})
        if (!configuredSize(name, 0))
            return name;
    return nullptr;
}

bool imreadTakes(double width, double height)
{
    const std::optional<uint64_t> maxWidth = configuredSize("OPENCV_IO_MAX_IMAGE_WIDTH", uint64_t(1) << 20),
                                  maxHeight = configuredSize("OPENCV_IO_MAX_IMAGE_HEIGHT", uint64_t(1) << 20),
                                  maxPixels = configuredSize("OPENCV_IO_MAX_IMAGE_PIXELS", uint64_t(1) << 30);
    // Sizes of a JPEG or PNG header: products exact in a double up to 2^53.
    return maxWidth && maxHeight && maxPixels && width <= double(*maxWidth) && height <= double(*maxHeight) &&
           width * height <= double(*maxPixels);
}

} // namespace sixfold
