#ifndef JPEGPROGRESSIVE_H
#define JPEGPROGRESSIVE_H

// The progressive scans of the block decoder (jdphuff.c).

#include "jpegentropy.h"

#include <cstdint>
#include <vector>

namespace sixfold {

// Decodes a progressive scan's blocks in MCU row `row.row` of the frame:
// the kept blocks' values into `values` (null where the row keeps none),
// and, of a scan of one component, which coefficients are not zero into
// that component's masks in `nonzero`, which refinement reads.
bool decodeProgressiveRow(EntropyDecoder::Scan &scan, const BlockLayout &layout, BlockRow &row, int16_t *values,
                          std::vector<std::vector<uint64_t>> &nonzero);

} // namespace sixfold

#endif // JPEGPROGRESSIVE_H
