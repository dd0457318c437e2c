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

void averageGrayInPlace(cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y) {
        uchar *p = bgr.ptr<uchar>(y);
        for (int x = 0; x < bgr.cols; ++x, p += 3) {
            const int b = p[0], g = p[1], r = p[2];
            const int sum = b + g + r;
            // 0.3 * sum is at least 0.1 away from a whole number unless the
            // sum is a multiple of 10; only then can the rounding of the
            // double sum move it across the truncation boundary.
            const int v = sum % 10 ? 3 * sum / 10 : averageGrayOf(b, g, r);
            p[0] = p[1] = p[2] = uchar(v);
        }
    }
}

} // namespace sixfold
