#ifndef IMAGEOPS_H
#define IMAGEOPS_H

#include <opencv2/core.hpp>

#include <vector>

// Pure image computations behind the window's views.

namespace sixfold {

constexpr int PanelWidth = 256;
constexpr int PanelHeight = 192;

// The rows (or columns) of a picture `size` rows high (or wide) that
// scaling it to `panelSize` reads, in increasing order: for each panel row,
// the row at or above its bilinear sampling point and the next one, kept
// inside the picture. No other row has any effect on the scaled picture.
std::vector<int> panelSourceLines(int size, int panelSize);
inline std::vector<int> panelSourceRows(int height) { return panelSourceLines(height, PanelHeight); }
inline std::vector<int> panelSourceColumns(int width) { return panelSourceLines(width, PanelWidth); }

// The picture scaled to panel size (bilinear) in red-green-blue order. The
// channel swap is done after scaling: bilinear scaling treats every channel
// alike, so this equals swapping first, without a full-size copy.
cv::Mat panelRgb(const cv::Mat &bgr);

// Replaces every pixel (B, G, R) of an 8-bit 3-channel matrix by the
// truncated double R*0.3 + G*0.3 + B*0.3 in all three channels.
void averageGrayInPlace(cv::Mat &bgr);

// The same for only the pixels that scaling the matrix to the panel reads
// (the panel's source rows and columns), which is all the panel shows of it.
void averageGrayForPanel(cv::Mat &bgr);

// The average gray of one pixel.
inline int averageGrayOf(int b, int g, int r)
{
    return int(r * 0.3 + g * 0.3 + b * 0.3);
}

} // namespace sixfold

#endif // IMAGEOPS_H
