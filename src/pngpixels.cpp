// The rows of a PNG's image data: unfiltering them, and the pixels OpenCV
// makes of them, for the rows and columns the panel reads.

#include "pngpixels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SIXFOLD_AVX2_PAETH
#endif

namespace sixfold {

namespace {

constexpr int channelsOf[7] = {1, 0, 3, 1, 2, 0, 4};

// Four bytes read or written at once.
inline uint32_t four(const unsigned char *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void put4(unsigned char *p, uint32_t v)
{
    std::memcpy(p, &v, 4);
}

int paethOf(int a, int b, int c)
{
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

#ifdef __SSE2__
// The filters whose prediction takes the pixel just made, Sub, Average and
// Paeth, for pixels of `Bytes` bytes: one pixel at a time in 16-bit lanes
// of a vector register. A pixel is read and written as four or eight
// bytes; the rows have room for the bytes past their end.
template<int Bytes>
__m128i load(const unsigned char *p)
{
    if constexpr (Bytes <= 4) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
    } else {
        int64_t v;
        std::memcpy(&v, p, 8);
        return _mm_unpacklo_epi8(_mm_cvtsi64_si128(v), _mm_setzero_si128());
    }
}

template<int Bytes>
void store(unsigned char *p, __m128i v)
{
    if constexpr (Bytes <= 4) {
        const int32_t w = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
        std::memcpy(p, &w, 4);
    } else {
        const int64_t w = _mm_cvtsi128_si64(_mm_packus_epi16(v, v));
        std::memcpy(p, &w, 8);
    }
}

template<int Bytes>
void unfilterVector(int filter, const unsigned char *raw, const unsigned char *above, unsigned char *row,
                    size_t bytes)
{
    const __m128i low = _mm_set1_epi16(0xff);
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    if (filter == 1) {
        for (size_t i = 0; i < bytes; i += Bytes) {
            a = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw + i), a), low);
            store<Bytes>(row + i, a);
        }
    } else if (filter == 3) {
        for (size_t i = 0; i < bytes; i += Bytes) {
            const __m128i b = load<Bytes>(above + i);
            a = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw + i), _mm_srli_epi16(_mm_add_epi16(a, b), 1)), low);
            store<Bytes>(row + i, a);
        }
    } else {
        for (size_t i = 0; i < bytes; i += Bytes) {
            // The predictor: a where nearest, else b where nearer than c,
            // else c; the distances to a + b - c of a, b and c are |b - c|,
            // |a - c| and |a - c + b - c|.
            const __m128i b = load<Bytes>(above + i), d = _mm_sub_epi16(b, c);
            const __m128i pa = _mm_max_epi16(d, _mm_sub_epi16(c, b));
            const __m128i e = _mm_sub_epi16(a, c), minusE = _mm_sub_epi16(c, a);
            const __m128i pb = _mm_max_epi16(e, minusE);
            const __m128i pc = _mm_max_epi16(_mm_add_epi16(e, d), _mm_sub_epi16(minusE, d));
            const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i cOverB = _mm_cmpgt_epi16(pb, pc);
            const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(cOverB, b), _mm_and_si128(cOverB, c));
            const __m128i predicted = _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
            a = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw + i), predicted), low);
            store<Bytes>(row + i, a);
            c = b;
        }
    }
}

// The Paeth predictor of 16-bit lanes.
inline __m128i paethVector(__m128i a, __m128i b, __m128i c)
{
    const __m128i d = _mm_sub_epi16(b, c), pa = _mm_max_epi16(d, _mm_sub_epi16(c, b));
    const __m128i e = _mm_sub_epi16(a, c), minusE = _mm_sub_epi16(c, a);
    const __m128i pb = _mm_max_epi16(e, minusE);
    const __m128i pc = _mm_max_epi16(_mm_add_epi16(e, d), _mm_sub_epi16(minusE, d));
    const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i cOverB = _mm_cmpgt_epi16(pb, pc);
    const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(cOverB, b), _mm_and_si128(cOverB, c));
    return _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
}

// Two rows of Paeth, the second below the first, side by side: each step
// makes a pixel of the first and the one before it of the second, whose
// neighbours are all made by then, so that the two chains of dependent
// steps overlap.
template<int Bytes>
void paethPairVector(const unsigned char *raw0, const unsigned char *raw1, const unsigned char *above,
                     unsigned char *row0, unsigned char *row1, size_t bytes)
{
    const __m128i low = _mm_set1_epi16(0xff);
    __m128i up = load<Bytes>(above);
    __m128i made0 = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw0), up), low);   // predicted by the row above alone
    __m128i made0Before = _mm_setzero_si128(), made1 = _mm_setzero_si128();
    store<Bytes>(row0, made0);
    for (size_t i = Bytes; i < bytes; i += Bytes) {
        const __m128i b = load<Bytes>(above + i);
        const __m128i next0 = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw0 + i), paethVector(made0, b, up)), low);
        made1 = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw1 + i - Bytes), paethVector(made1, made0, made0Before)), low);
        store<Bytes>(row0 + i, next0);
        store<Bytes>(row1 + i - Bytes, made1);
        made0Before = made0;
        made0 = next0;
        up = b;
    }
    made1 = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw1 + bytes - Bytes), paethVector(made1, made0, made0Before)), low);
    store<Bytes>(row1 + bytes - Bytes, made1);
}

// The same for pixels of up to four bytes, whose lanes fill half a
// register: the two rows' steps share one, the first row's pixel in the
// low half and the second's in the high, so that one predictor serves both.
inline void store4(unsigned char *p, __m128i v)
{
    put4(p, uint32_t(_mm_cvtsi128_si32(v)));
}

template<int Bytes>
void paethPairPacked(const unsigned char *raw0, const unsigned char *raw1, const unsigned char *above,
                     unsigned char *row0, unsigned char *row1, size_t bytes)
{
    const __m128i low = _mm_set1_epi16(0xff);
    const __m128i up = load<Bytes>(above);
    // Each holds a pixel of each row: a the ones just made, b above them and
    // c above and left (the second row's "above" is the first row).
    __m128i a = _mm_and_si128(_mm_add_epi16(load<Bytes>(raw0), up), low), c = up;
    store<Bytes>(row0, a);
    for (size_t i = Bytes; i < bytes; i += Bytes) {
        const __m128i b = _mm_unpacklo_epi64(load<Bytes>(above + i), a);
        const __m128i raw = _mm_unpacklo_epi64(load<Bytes>(raw0 + i), load<Bytes>(raw1 + i - Bytes));
        a = _mm_and_si128(_mm_add_epi16(raw, paethVector(a, b, c)), low);
        const __m128i both = _mm_packus_epi16(a, a);
        store4(row0 + i, both);
        store4(row1 + i - Bytes, _mm_srli_epi64(both, 32));
        c = b;
    }
    const __m128i b = _mm_unpacklo_epi64(_mm_setzero_si128(), a);
    a = _mm_and_si128(_mm_add_epi16(_mm_unpacklo_epi64(a, load<Bytes>(raw1 + bytes - Bytes)), paethVector(a, b, c)), low);
    store4(row1 + bytes - Bytes, _mm_srli_epi64(_mm_packus_epi16(a, a), 32));
}
#endif

#ifdef SIXFOLD_AVX2_PAETH
// Four rows of Paeth, each below the one before, in one register of AVX2:
// a 64-bit quarter for each row, the first row's pixel i in the first, the
// second's pixel i - 1 in the second and so on, so that each step makes
// one pixel of each row from neighbours all made by then. For pixels of up
// to four bytes, in 16-bit lanes as above.
#define SIXFOLD_AVX2 __attribute__((target("avx2"), always_inline)) inline

SIXFOLD_AVX2 __m256i widen4(uint32_t q0, uint32_t q1, uint32_t q2, uint32_t q3)
{
    __m128i v = _mm_cvtsi32_si128(int(q0));
    v = _mm_insert_epi32(v, int(q1), 1);
    v = _mm_insert_epi32(v, int(q2), 2);
    v = _mm_insert_epi32(v, int(q3), 3);
    return _mm256_cvtepu8_epi16(v);
}

// One step: `a` the pixels just made, `c` the last step's `b`; quarters
// whose pixel lies outside its row take no input, give zeros, and are not
// stored where `all` is false.
template<int Bytes, bool all>
SIXFOLD_AVX2 void paethQuadStep(const unsigned char *const raw[4], const unsigned char *above,
                                unsigned char *const row[4], size_t pixels, size_t i, __m256i &a, __m256i &c)
{
    const auto in = [&](size_t k) { return all || (i >= k && i - k < pixels); };
    uint32_t r[4] = {};
    for (size_t k = 0; k < 4; ++k)
        if (in(k))
            r[k] = four(raw[k] + (i - k) * Bytes);
    const __m256i up = _mm256_cvtepu8_epi16(_mm_cvtsi32_si128(int(in(0) ? four(above + i * Bytes) : 0)));
    const __m256i b = _mm256_blend_epi32(_mm256_permute4x64_epi64(a, 0x90), up, 0x03);
    const __m256i d = _mm256_sub_epi16(b, c), e = _mm256_sub_epi16(a, c);
    const __m256i pa = _mm256_abs_epi16(d), pb = _mm256_abs_epi16(e), pc = _mm256_abs_epi16(_mm256_add_epi16(d, e));
    const __m256i notA = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
    const __m256i bOrC = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
    const __m256i predicted = _mm256_blendv_epi8(a, bOrC, notA);
    a = _mm256_and_si256(_mm256_add_epi16(widen4(r[0], r[1], r[2], r[3]), predicted), _mm256_set1_epi16(0xff));
    c = b;
    const __m256i packed = _mm256_packus_epi16(a, a);
    const __m128i low = _mm256_castsi256_si128(packed), high = _mm256_extracti128_si256(packed, 1);
    const uint32_t made[4] = {uint32_t(_mm_cvtsi128_si32(low)), uint32_t(_mm_extract_epi32(low, 1)),
                              uint32_t(_mm_cvtsi128_si32(high)), uint32_t(_mm_extract_epi32(high, 1))};
    for (size_t k = 0; k < 4; ++k)
        if (in(k))
            put4(row[k] + (i - k) * Bytes, made[k]);
}

template<int Bytes>
__attribute__((target("avx2"))) void paethQuad(const unsigned char *const raw[4], const unsigned char *above,
                                               unsigned char *const row[4], size_t pixels)
{
    __m256i a = _mm256_setzero_si256(), c = _mm256_setzero_si256();
    size_t i = 0;
    for (; i < 3; ++i)
        paethQuadStep<Bytes, false>(raw, above, row, pixels, i, a, c);
    for (; i < pixels; ++i)
        paethQuadStep<Bytes, true>(raw, above, row, pixels, i, a, c);
    for (; i < pixels + 3; ++i)
        paethQuadStep<Bytes, false>(raw, above, row, pixels, i, a, c);
}
#undef SIXFOLD_AVX2
#endif

} // namespace

int PngFormat::bitsPerPixel() const
{
    return channelsOf[colour] * depth;
}

size_t PngFormat::rowBytes(int pixels) const
{
    return (size_t(pixels) * size_t(bitsPerPixel()) + 7) / 8;
}

std::vector<PngPass> pngPasses(const PngFormat &format)
{
    static const int adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    if (!format.interlaced)
        return {{0, 0, 1, 1, format.width, format.height}};
    std::vector<PngPass> passes;
    for (const auto &a : adam7) {
        PngPass p{a[0], a[1], a[2], a[3], 0, 0};
        p.width = format.width > p.x0 ? (format.width - p.x0 + p.dx - 1) / p.dx : 0;
        p.height = format.height > p.y0 ? (format.height - p.y0 + p.dy - 1) / p.dy : 0;
        passes.push_back(p);
    }
    return passes;
}

void unfilterRow(const unsigned char *raw, const unsigned char *above, unsigned char *row, size_t bytes,
                 int pixelBytes)
{
    const int filter = raw[0];
    ++raw;
    if (filter == 0) {
        std::memcpy(row, raw, bytes);
        return;
    }
    if (filter == 2) {
        for (size_t i = 0; i < bytes; ++i)
            row[i] = uint8_t(raw[i] + above[i]);
        return;
    }
#ifdef __SSE2__
    switch (pixelBytes) {
    case 1:
        break;
    case 2:
        return unfilterVector<2>(filter, raw, above, row, bytes);
    case 3:
        return unfilterVector<3>(filter, raw, above, row, bytes);
    case 4:
        return unfilterVector<4>(filter, raw, above, row, bytes);
    case 6:
        return unfilterVector<6>(filter, raw, above, row, bytes);
    default:
        return unfilterVector<8>(filter, raw, above, row, bytes);
    }
#endif
    // A byte at a time, the pixel just made kept in registers while it can
    // be.
    if (pixelBytes == 1) {
        int a = 0, c = 0;
        for (size_t i = 0; i < bytes; ++i) {
            const int b = above[i];
            a = uint8_t(raw[i] + (filter == 1 ? a : filter == 3 ? (a + b) / 2 : paethOf(a, b, c)));
            row[i] = uint8_t(a);
            c = b;
        }
        return;
    }
    const size_t step = size_t(pixelBytes);
    for (size_t i = 0; i < bytes; ++i) {
        const int a = i >= step ? row[i - step] : 0, b = above[i], c = i >= step ? above[i - step] : 0;
        row[i] = uint8_t(raw[i] + (filter == 1 ? a : filter == 3 ? (a + b) / 2 : paethOf(a, b, c)));
    }
}

void unfilterPaethPair(const unsigned char *raw0, const unsigned char *raw1, const unsigned char *above,
                       unsigned char *row0, unsigned char *row1, size_t bytes, int pixelBytes)
{
#ifdef __SSE2__
    switch (pixelBytes) {
    case 1:
        break;
    case 2:
        return paethPairPacked<2>(raw0 + 1, raw1 + 1, above, row0, row1, bytes);
    case 3:
        return paethPairPacked<3>(raw0 + 1, raw1 + 1, above, row0, row1, bytes);
    case 4:
        return paethPairPacked<4>(raw0 + 1, raw1 + 1, above, row0, row1, bytes);
    case 6:
        return paethPairVector<6>(raw0 + 1, raw1 + 1, above, row0, row1, bytes);
    default:
        return paethPairVector<8>(raw0 + 1, raw1 + 1, above, row0, row1, bytes);
    }
#endif
    unfilterRow(raw0, above, row0, bytes, pixelBytes);
    unfilterRow(raw1, row0, row1, bytes, pixelBytes);
}

bool unfilterPaethQuad(const unsigned char *raw, size_t rawBytes, const unsigned char *above,
                       unsigned char *const rows[4], int pixelBytes)
{
#ifdef SIXFOLD_AVX2_PAETH
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (!avx2 || pixelBytes > 4)
        return false;
    const unsigned char *const raws[4] = {raw + 1, raw + rawBytes + 1, raw + 2 * rawBytes + 1, raw + 3 * rawBytes + 1};
    const size_t pixels = (rawBytes - 1) / size_t(pixelBytes);
    switch (pixelBytes) {
    case 1:
        paethQuad<1>(raws, above, rows, pixels);
        break;
    case 2:
        paethQuad<2>(raws, above, rows, pixels);
        break;
    case 3:
        paethQuad<3>(raws, above, rows, pixels);
        break;
    default:
        paethQuad<4>(raws, above, rows, pixels);
    }
    return true;
#else
    (void)raw, (void)rawBytes, (void)above, (void)rows, (void)pixelBytes;
    return false;
#endif
}

PngRows::PngRows(const PngFormat &f, const Placement &p, cv::Mat &pic)
    : format(f), place(p), picture(pic), passes(pngPasses(f)), pixelBytes(std::max(f.bitsPerPixel() / 8, 1))
{
    size_t widest = 0;
    for (const PngPass &pass : passes)
        if (pass.width > 0 && pass.height > 0) {
            streamBytes += double(pass.height) * double(1 + format.rowBytes(pass.width));
            widest = std::max(widest, format.rowBytes(pass.width));
        }
    above.assign(widest + 16, 0);
    current.assign(widest + 16, 0);
    spare.assign(widest + 16, 0);
    third.assign(widest + 16, 0);
    fourth.assign(widest + 16, 0);
    zeros.assign(widest + 16, 0);
    keptIndex.assign(size_t(format.height), -1);
    for (size_t k = 0; k < place.storedRows.size(); ++k)
        keptIndex[size_t(place.storedRows[k])] = int(k);
    // The stored columns the panel reads, by pass.
    for (const PngPass &pass : passes) {
        std::vector<int> columns, slots;
        for (size_t j = 0; j < place.storedColumns.size(); ++j) {
            const int x = place.storedColumns[j];
            if (x >= pass.x0 && (x - pass.x0) % pass.dx == 0) {
                columns.push_back((x - pass.x0) / pass.dx);
                slots.push_back(int(j));
            }
        }
        passColumns.push_back(columns);
        passSlots.push_back(slots);
    }
    bgr.assign(3 * place.storedColumns.size() + 16, 0);
    if (format.interlaced)
        kept.assign(3 * place.storedColumns.size() * place.storedRows.size(), 0);
    while (pass < passes.size() && (passes[pass].width == 0 || passes[pass].height == 0))
        ++pass;
}

double PngRows::bufferBytes() const
{
    return double(above.size() + current.size() + spare.size() + third.size() + fourth.size() + zeros.size()
                  + bgr.size() + kept.size())
           + 4.0 * double(keptIndex.size()) + 8.0 * double(place.storedColumns.size()) * double(passes.size());
}

size_t PngRows::heldBytes() const
{
    return 2 * (zeros.size() + 1);
}

double PngRows::write(const unsigned char *window, double first, double last)
{
    while (pass < passes.size()) {
        const PngPass &p = passes[size_t(pass)];
        const size_t rawBytes = 1 + format.rowBytes(p.width);
        const double rowEnd = rowStart + double(rawBytes);
        // A row is taken once whole, and, but for a pass's last, once the
        // next row's filter tells whether it refers to it.
        const auto whole = [&](int r, double end) { return end <= last && (r + 1 == p.height || end < last); };
        if (!whole(row, rowEnd))
            return rowStart;
        const unsigned char *raw = window + size_t(rowStart - first);
        const int next = row + 1 == p.height ? 0 : raw[rawBytes];
        if (raw[0] > 4 || next > 4)
            return -1;   // libpng refuses other filters
        // Four or two Paeth rows, all to be unfiltered (the last where the
        // panel reads it or the row after refers to it), are unfiltered side
        // by side.
        unsigned char *const made[4] = {current.data(), spare.data(), third.data(), fourth.data()};
        const unsigned char *const up = row == 0 || !aboveReady ? zeros.data() : above.data();
        int taken = 1;
        for (const int n : {4, 2}) {
            if (taken > 1 || row + n > p.height || !whole(row + n - 1, rowEnd + double(n - 1) * double(rawBytes)))
                continue;
            bool paeth = true;
            for (int k = 0; k < n; ++k)
                paeth = paeth && raw[size_t(k) * rawBytes] == 4;
            if (!paeth)
                continue;
            const int after = row + n == p.height ? 0 : raw[size_t(n) * rawBytes];
            if (after > 4)
                return -1;
            if (!read(row + n - 1) && after < 2)
                continue;
            if (n == 4 && !unfilterPaethQuad(raw, rawBytes, up, made, pixelBytes))
                continue;
            if (n == 2)
                unfilterPaethPair(raw, raw + rawBytes, up, made[0], made[1], rawBytes - 1, pixelBytes);
            for (int k = 0; k < n; ++k)
                if (read(row + k) && !takePixels(made[k], row + k))
                    return -1;
            std::swap(above, n == 4 ? fourth : spare);
            aboveReady = true;
            taken = n;
        }
        if (taken == 1 && !rowDone(raw, next >= 2))
            return -1;
        rowStart += double(taken * rawBytes);
        row += taken;
        if (row < p.height)
            continue;
        row = 0;
        aboveReady = false;
        do
            ++pass;
        while (pass < passes.size() && (passes[pass].width == 0 || passes[pass].height == 0));
    }
    return last > streamBytes ? -1 : rowStart;   // nothing may follow the last row
}

bool PngRows::read(int r) const
{
    const PngPass &p = passes[pass];
    return keptIndex[size_t(p.y0 + r * p.dy)] >= 0 && !passColumns[pass].empty();
}

bool PngRows::rowDone(const unsigned char *raw, bool nextRefersToIt)
{
    if (!read(row) && !nextRefersToIt) {
        aboveReady = false;
        return true;
    }
    // A row whose filter refers to the row above has it: the row above was
    // unfiltered, as this row's filter referred to it.
    unfilterRow(raw, row == 0 || !aboveReady ? zeros.data() : above.data(), current.data(),
                format.rowBytes(passes[pass].width), pixelBytes);
    if (read(row) && !takePixels(current.data(), row))
        return false;
    std::swap(above, current);
    aboveReady = true;
    return true;
}

bool PngRows::takePixels(const unsigned char *s, int r)
{
    const PngPass &p = passes[pass];
    const int y = p.y0 + r * p.dy;
    const int depth = format.depth, sample = depth == 16 ? 2 : 1;
    unsigned char *to = bgr.data();
    for (const int i : passColumns[pass]) {
        if (format.colour == 3 || (format.colour == 0 && depth < 8)) {
            const int bit = i * depth;
            int v = s[bit / 8] >> (8 - depth - bit % 8) & ((1 << depth) - 1);
            if (format.colour == 3) {
                if (v >= format.paletteSize)
                    return false;   // no entry: left to libpng
                to[0] = format.palette[size_t(3 * v + 2)];
                to[1] = format.palette[size_t(3 * v + 1)];
                to[2] = format.palette[size_t(3 * v)];
            } else {
                v *= depth == 1 ? 255 : depth == 2 ? 85 : 17;
                to[0] = to[1] = to[2] = uint8_t(v);
            }
        } else {
            const unsigned char *px = s + size_t(i) * size_t(channelsOf[format.colour] * sample);
            if (format.colour == 0 || format.colour == 4) {
                to[0] = to[1] = to[2] = px[0];
            } else {
                to[0] = px[2 * sample];
                to[1] = px[sample];
                to[2] = px[0];
            }
        }
        to += 3;
    }
    if (!format.interlaced) {
        putPixels(picture, place, y, bgr.data());
        return true;
    }
    const std::vector<int> &slots = passSlots[pass];
    unsigned char *keptRow = kept.data() + size_t(keptIndex[size_t(y)]) * 3 * place.storedColumns.size();
    for (size_t j = 0; j < slots.size(); ++j)
        std::memcpy(keptRow + 3 * size_t(slots[j]), bgr.data() + 3 * j, 3);
    return true;
}

void PngRows::finish()
{
    if (!format.interlaced)
        return;
    for (size_t k = 0; k < place.storedRows.size(); ++k)
        putPixels(picture, place, place.storedRows[k], kept.data() + k * 3 * place.storedColumns.size());
}

} // namespace sixfold
