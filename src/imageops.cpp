#include "imageops.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace sixfold {

cv::Mat readImage(const std::string &path)
{
    // Only regular files: a FIFO or a device would block the read or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return {};
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

cv::Mat panelRgb(const cv::Mat &bgr)
{
    cv::Mat scaled;
    cv::resize(bgr, scaled, cv::Size(PanelWidth, PanelHeight), 0, 0, cv::INTER_LINEAR);
    cv::Mat rgb;
    cv::cvtColor(scaled, rgb, cv::COLOR_BGR2RGB);
    return rgb;
}

namespace {

// One row of pixels, in place. Written as the plain formula so that the
// compiler vectorises it; where the processor has AVX2 a clone of it using
// four doubles at a time is chosen at load time. Vector and scalar double
// arithmetic round alike, so every clone gives the formula's exact value.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void averageGrayRow(uchar *__restrict p, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i) {
        const auto v = uchar(averageGrayOf(p[3 * i], p[3 * i + 1], p[3 * i + 2]));
        p[3 * i] = v;
        p[3 * i + 1] = v;
        p[3 * i + 2] = v;
    }
}

} // namespace

void averageGrayInPlace(cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    if (bgr.isContinuous()) {
        averageGrayRow(bgr.data, bgr.total());
        return;
    }
    for (int y = 0; y < bgr.rows; ++y)
        averageGrayRow(bgr.ptr<uchar>(y), size_t(bgr.cols));
}

} // namespace sixfold
