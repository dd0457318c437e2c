#ifndef IMAGEOPS_H
#define IMAGEOPS_H

#include <opencv2/core.hpp>

#include <string>

// Pure image computations behind the window's views.

namespace sixfold {

constexpr int PanelWidth = 256;
constexpr int PanelHeight = 192;

// Reads a file as an 8-bit, 3-channel blue-green-red picture: with OpenCV,
// or with libheif for HEIF (HEIC) files, which OpenCV cannot read. Returns
// an empty matrix for anything that is not a readable picture; never throws.
cv::Mat readImage(const std::string &path);

// The picture scaled to panel size (bilinear) in red-green-blue order. The
// channel swap is done after scaling: bilinear scaling treats every channel
// alike, so this equals swapping first, without a full-size copy.
cv::Mat panelRgb(const cv::Mat &bgr);

// Replaces every pixel (B, G, R) of an 8-bit 3-channel matrix by the
// truncated double R*0.3 + G*0.3 + B*0.3 in all three channels.
void averageGrayInPlace(cv::Mat &bgr);

// The average gray of one pixel.
inline int averageGrayOf(int b, int g, int r)
{
    return int(r * 0.3 + g * 0.3 + b * 0.3);
}

} // namespace sixfold

#endif // IMAGEOPS_H
