#include "imageops.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace sixfold {

std::vector<int> panelSourceLines(int size, int panelSize)
{
    // Panel row d samples (d + 0.5) * size / panelSize - 0.5, worked out as
    // OpenCV's scaling does it: in double, then rounded to float.
    const double scale = 1.0 / (double(panelSize) / size);
    std::vector<int> lines;
    for (int d = 0; d < panelSize; ++d) {
        const int below = cvFloor(float((d + 0.5) * scale - 0.5));
        for (const int line : {below, below + 1})
            lines.push_back(std::clamp(line, 0, size - 1));
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
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
// The choice at load time needs glibc's indirect functions: elsewhere (musl,
// other processors) the one plain version is built.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
__attribute__((target_clones("avx2", "default")))
#endif
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

void averageGrayForPanel(cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    const std::vector<int> columns = panelSourceColumns(bgr.cols);
    for (const int y : panelSourceRows(bgr.rows)) {
        auto *row = bgr.ptr<cv::Vec3b>(y);
        for (const int x : columns)
            row[x] = cv::Vec3b::all(uchar(averageGrayOf(row[x][0], row[x][1], row[x][2])));
    }
}

} // namespace sixfold
