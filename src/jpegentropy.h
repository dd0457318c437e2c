#ifndef JPEGENTROPY_H
#define JPEGENTROPY_H

// Huffman decoding of a JPEG's scans, as libjpeg-turbo decodes them, into
// the coefficients of the blocks a picture's chosen pixels need.

#include "jpegidct.h"
#include "jpegscans.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sixfold {

// The blocks of a frame as the block decoder lays them out: the MCUs of a
// scan of every component (an interleaved scan), and the blocks the chosen
// pixels read, which are kept.
struct BlockLayout
{
    struct Component
    {
        int h = 1, v = 1;            // blocks across and down in an MCU
        int across = 0, down = 0;    // its blocks, without those padding MCUs
        int16_t quant[64] = {};      // in natural order
        // The rows and columns of its blocks (padding ones too) that hold
        // samples the chosen pixels read: the blocks kept are those in both.
        std::vector<char> neededRows, neededColumns;
        // Of each block column, where its blocks of an MCU row lie among
        // those kept (the rows of the MCU one after another); -1: none.
        std::vector<int> kept;
    };
    std::vector<Component> components;   // in the frame's order
    int mcuColumns = 0, mcuRows = 0, blocksInMcu = 0;
    std::vector<char> neededRows, neededMcuColumns;   // of MCUs: holding a kept block
    int lastRow = 0, lastColumn = 0;    // the last MCU needed
    int keptBlocks = 0;                 // of an MCU row
};

// Where the kept blocks of an MCU row go, as the layout places them, with
// whether each was decoded.
struct BlockRow
{
    int row = 0;
    Coefficients *coefficients = nullptr;
    uint8_t *decoded = nullptr;
};

// All scans of a file, decoded an MCU row at a time: those of a
// progressive file side by side, each from its own place in the file, so
// that no more than a row of coefficients is ever kept.
struct EntropyDecoder
{
    EntropyDecoder();
    ~EntropyDecoder();
    EntropyDecoder(const EntropyDecoder &) = delete;
    EntropyDecoder &operator=(const EntropyDecoder &) = delete;

    // Sets up the scans: the one scan whose header `info` has read, its
    // coded data the `pending` bytes libjpeg holds and then `descriptor`'s
    // from `offset` on; or, given the file's script, every scan it names.
    // False where decoding them would not be certain to give libjpeg's
    // coefficients: a table or progression libjpeg refuses or warns about,
    // coefficients it would smooth (some of the first ten left short of
    // their last bit), a component coded twice or never. Also false where
    // its buffers would take more than memoryLimit bytes.
    bool setUp(const jpeg_decompress_struct &info, const BlockLayout &layout, const JpegScript *script,
               const JOCTET *pending, size_t pendingBytes, int descriptor, double offset, double memoryLimit);

    // Decodes every scan's blocks of MCU row `row.row`, the rows in order,
    // up to the layout's last needed MCU, keeping the needed ones. False
    // where the data are not all there, or not as libjpeg decodes without
    // warning (a code no table has, a restart marker missing, a marker
    // inside them), or give a coefficient out of range.
    bool decodeRow(BlockRow &row);

    struct Scan;

private:
    const BlockLayout *layout = nullptr;
    std::vector<Scan> scans;
    bool progressive = false;
    // The row of coefficients of a progressive file: the kept blocks'
    // values, in natural order, and for every block those not zero, in
    // zigzag order, which refinement needs.
    std::vector<int16_t> values;
    std::vector<std::vector<uint64_t>> nonzero;   // of each component
    std::unique_ptr<struct Huffman[]> tables;     // the scans' tables, each derived once
};

} // namespace sixfold

#endif // JPEGENTROPY_H
