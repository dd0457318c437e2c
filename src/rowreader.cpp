// Decoding only the panel's rows of JPEG and PNG files: which reader a file
// goes to (jpegrows.h, pngrows.h).

#include "rowreader.h"

#include "jpegrows.h"
#include "pngrows.h"
#include "regularfile.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <unistd.h>

namespace sixfold {

std::optional<cv::Mat> readPanelRows(const std::string &path, double memoryLimit)
{
    return readPanelRows(RegularFile(path), memoryLimit);
}

std::optional<cv::Mat> readPanelRows(const RegularFile &regular, double memoryLimit)
{
    // A descriptor of its own, which the stream closes, at the file's start.
    const int descriptor = regular.descriptor >= 0 ? dup(regular.descriptor) : -1;
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(descriptor >= 0 ? fdopen(descriptor, "rb") : nullptr,
                                                                std::fclose);
    if (!file) {
        if (descriptor >= 0)
            close(descriptor);
        return cv::Mat();
    }
    uchar signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof signature, file.get());
    std::rewind(file.get());
    static const uchar jpeg[] = {0xff, 0xd8, 0xff};
    static const uchar png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got >= sizeof jpeg && std::equal(jpeg, jpeg + sizeof jpeg, signature))
        return readJpegRows(file.get(), memoryLimit);
    if (got == sizeof png && std::equal(png, png + sizeof png, signature))
        return readPngRows(file.get(), memoryLimit);
    return std::nullopt;
}

} // namespace sixfold
