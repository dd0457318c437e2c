#ifndef PNGPIXELS_H
#define PNGPIXELS_H

// The rows of a PNG's image data: unfiltering them, and the pixels OpenCV
// makes of them, for the rows and columns the panel reads.

#include "placement.h"

#include <opencv2/core.hpp>

#include <array>
#include <cstddef>
#include <vector>

namespace sixfold {

// What a PNG's header says of its pixels, and its palette.
struct PngFormat
{
    int width = 0, height = 0, depth = 0, colour = 0;
    bool interlaced = false;
    std::array<unsigned char, 3 * 256> palette{};   // RGB; entries past paletteSize are zeros
    int paletteSize = 0;

    int bitsPerPixel() const;
    // The bytes of a row of `pixels`, without its filter byte.
    size_t rowBytes(int pixels) const;
};

// One of Adam7's seven passes, or the whole picture: the stored pixels
// (x0 + i * dx, y0 + j * dy) it holds, and how many across and down.
struct PngPass
{
    int x0 = 0, y0 = 0, dx = 1, dy = 1, width = 0, height = 0;
};
std::vector<PngPass> pngPasses(const PngFormat &format);

// Unfilters a row of `bytes` (its filter byte first in `raw`), given the
// row above it unfiltered (zeros for the first), into `row`; the filter is
// one of PNG's five.
void unfilterRow(const unsigned char *raw, const unsigned char *above, unsigned char *row, size_t bytes,
                 int pixelBytes);

// The same for two rows, the second below the first, both filtered by
// Paeth: their steps interleaved, twice as fast.
void unfilterPaethPair(const unsigned char *raw0, const unsigned char *raw1, const unsigned char *above,
                       unsigned char *row0, unsigned char *row1, size_t bytes, int pixelBytes);

// The same for four rows of Paeth, one after another from `raw` (each
// `rawBytes` long with its filter byte), into `rows`, where the processor
// has AVX2 and a pixel up to four bytes; false, doing nothing, elsewhere.
// As the others, it reads and writes four bytes a pixel, up to three past
// a row's end.
bool unfilterPaethQuad(const unsigned char *raw, size_t rawBytes, const unsigned char *above,
                       unsigned char *const rows[4], int pixelBytes);

// The rows of the image data as they are inflated: each row is unfiltered
// only where the panel reads it or the next row's filter refers to it, and
// of those the panel reads, only its pixels are made, blue-green-red as
// OpenCV asks libpng for them (16 bits cut to 8, alpha dropped, a palette
// looked up, gray of fewer bits stretched, gray given as three channels),
// and put in the picture where the placement takes them.
struct PngRows
{
    PngRows(const PngFormat &format, const Placement &placement, cv::Mat &picture);

    // What the rows hold besides the picture, in bytes.
    double bufferBytes() const;
    // The most of the stream a write keeps unread: a row and a byte.
    size_t heldBytes() const;
    // The bytes of the whole image data.
    double total() const { return streamBytes; }

    // The inflater's writer (InflateEnds::write): takes the rows that are
    // whole in the window. Stops at a filter libpng refuses, a palette
    // index without an entry, or data beyond the last row.
    double write(const unsigned char *window, double first, double last);

    // Puts the rows of an interlaced picture, once every pass is in.
    void finish();

private:
    const PngFormat &format;
    const Placement &place;
    cv::Mat &picture;
    std::vector<PngPass> passes;
    int pixelBytes;
    double streamBytes = 0;
    // Where the reading is: the pass, its row, and that row's offset in
    // the stream.
    size_t pass = 0;
    int row = 0;
    double rowStart = 0;
    bool aboveReady = false;   // `above` holds the row above, unfiltered
    std::vector<unsigned char> above, current, spare, third, fourth, zeros, bgr;   // fourth: a quad's last row
    std::vector<int> keptIndex;                      // a stored row's place among those kept, or -1
    std::vector<std::vector<int>> passColumns;       // the pixels of each pass's rows the panel reads
    std::vector<std::vector<int>> passSlots;         // and their places among the stored columns
    std::vector<unsigned char> kept;                 // interlaced: the kept rows' pixels, by slot
    bool read(int rowOfPass) const;   // whether the panel reads pixels of the pass's row
    bool rowDone(const unsigned char *raw, bool nextRefersToIt);
    bool takePixels(const unsigned char *unfiltered, int rowOfPass);
};

} // namespace sixfold

#endif // PNGPIXELS_H
