#ifndef JPEGIDCT_H
#define JPEGIDCT_H

// libjpeg's accurate integer inverse DCT, computed only for the samples read.

#include <cstdint>

namespace sixfold {

// A block's coefficients, dequantised, in natural order.
struct Coefficients
{
    alignas(16) int16_t value[64];
};

// libjpeg keeps a coefficient in 16 bits, then dequantises it; beyond
// these values its 16-bit SIMD inverse DCT could give other bits.
inline bool dequantise(int32_t coefficient, int16_t quant, int16_t &value)
{
    const int32_t v = int32_t(int16_t(coefficient)) * quant;
    value = int16_t(v);
    return v >= -2047 && v <= 2047;
}

// Dequantises a block of coefficients as dequantise does, each into `block`,
// and clears them; false where one is out of range.
bool dequantiseBlock(int16_t *coefficients, const int16_t *quant, Coefficients &block);

// What each input of libjpeg's butterfly adds to each output, [output][input]
// (jpegidct.cpp).
extern const int16_t (&dctWeight)[8][8];

// Both passes stop (false) unless the dequantised coefficients, the column
// results and the samples they compute stay where libjpeg-turbo's 16-bit
// SIMD versions give the same bits. A sample reads only its own row of
// column results, in either.

// Row `row` of the column results of a block, from its coefficients alone:
// what libjpeg's first pass gives there.
bool inverseDctColumns(const Coefficients &block, int row, int16_t *columns);

// The eight samples of a row of samples, from that row of column results,
// as libjpeg's second pass gives them. The sums fit in 32 bits: the
// weights' sizes add up to 61214 at most, times 16383. Returns the samples
// outside the range where its SIMD version gives the same, a bit each.
unsigned inverseDctRow(const int16_t *columns, uint8_t *samples);

} // namespace sixfold

#endif // JPEGIDCT_H
