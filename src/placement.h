#ifndef PLACEMENT_H
#define PLACEMENT_H

// The picture the readers fill: its lazily committed memory, and where each
// decoded pixel lands once the EXIF orientation has turned it upright.

#include <opencv2/core.hpp>

#include <vector>

namespace sixfold {

// Where the rows a decoder delivers go in the upright picture. EXIF
// orientation is applied as OpenCV applies it: transposed first (5 to 8),
// then mirrored left to right and top to bottom.
struct Placement
{
    int width = 0, height = 0;   // as stored
    bool transposed = false, flipX = false, flipY = false;
    std::vector<int> rows;            // upright rows the panel reads
    std::vector<int> storedRows;      // the stored rows they need, increasing
    std::vector<int> storedColumns;   // and the columns of those rows, increasing
};

Placement placement(int width, int height, int orientation);

// The bytes of the upright rows the panel reads: what the picture holds
// once they are written.
double pictureBytes(const Placement &p);

// The upright picture, its pixel memory mapped but not committed, so that
// only the pages rows are written to cost anything.
cv::Mat uprightPicture(const Placement &p);

// Puts the pixels the panel reads of stored row y (blue-green-red), the
// whole row given, where the orientation takes them.
void putRow(cv::Mat &picture, const Placement &p, int y, const uchar *row);

// The same, given only those pixels, one after another.
void putPixels(cv::Mat &picture, const Placement &p, int y, const uchar *bgr);

} // namespace sixfold

#endif // PLACEMENT_H
