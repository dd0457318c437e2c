// Decoding chosen pixels of a JPEG exactly as libjpeg-turbo does.
//
// Only the blocks holding the samples the chosen pixels read (the chroma
// around them that smoothing reads among them) are decoded (jpegentropy.h),
// and of those only the
// samples read are computed, with libjpeg's own integer arithmetic: the
// accurate integer inverse DCT (jpegidct.h), "fancy" chroma upsampling and
// the YCbCr table conversion. libjpeg-turbo's SIMD code gives the same bits
// as that plain code within 16-bit ranges, which are checked for every
// value computed. That arithmetic follows libjpeg-turbo's jdsample.c and
// jdcolor.c, under the IJG licence (see data/copyright).

#include "jpegpixels.h"

#include "filewalk.h"
#include "jpegentropy.h"
#include "jpegscans.h"
#include "readertesting.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

// The arithmetic below is libjpeg-turbo's as of 2.0.3 (when 4:4:0
// upsampling took its present rounding) up to 2.1, and that of 3.1, proven
// on 3.1.3 (Debian unstable) with the decoder used for every layout the
// standard allows and over the fuzz corpus, as on 2.1.5: with any other
// libjpeg the decoder is left out, and every file goes to libjpeg itself.
// SIXFOLD_TRY_BLOCK_DECODER builds it whatever the version, to prove it
// against another libjpeg-turbo (never for the program).
#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && \
    ((LIBJPEG_TURBO_VERSION_NUMBER >= 2000003 && LIBJPEG_TURBO_VERSION_NUMBER < 2002000) || \
     (LIBJPEG_TURBO_VERSION_NUMBER >= 3001000 && LIBJPEG_TURBO_VERSION_NUMBER < 3002000))
#define KnownLibjpeg 1
#elif defined(SIXFOLD_TRY_BLOCK_DECODER)
#define KnownLibjpeg 1
#else
#define KnownLibjpeg 0
#endif

namespace sixfold {

namespace {

// libjpeg's YCbCr to RGB tables (jdcolor.c).
// libjpeg sums the green parts in a long; they fit in 32 bits.
struct ColourTables
{
    int32_t crRed[256], cbBlue[256], crGreen[256], cbGreen[256];
    ColourTables()
    {
        auto fix = [](double x) { return int64_t(x * 65536 + 0.5); };
        for (int i = 0; i < 256; ++i) {
            const int64_t x = i - 128;
            crRed[i] = int32_t((fix(1.40200) * x + 32768) >> 16);
            cbBlue[i] = int32_t((fix(1.77200) * x + 32768) >> 16);
            crGreen[i] = int32_t(-fix(0.71414) * x);
            cbGreen[i] = int32_t(-fix(0.34414) * x + 32768);
        }
    }
};

enum class Upsampling { None, Across, Down, Both };   // chroma halved across, down, both

// How a component's samples become the picture's: their number, and how
// the chroma is upsampled.
struct Component
{
    int hShift = 0, vShift = 0;   // the logarithms of its blocks in an MCU
    int width = 0, height = 0;    // samples
    Upsampling upsampling = Upsampling::None;
};

struct Decoder
{
    const jpeg_decompress_struct &info;
    std::vector<Component> components;   // in the frame's order, as the layout's
    BlockLayout layout;
    EntropyDecoder entropy;

    // The decoded blocks of the MCU rows still needed, three at a time.
    struct Band
    {
        int row = -1;
        std::vector<Coefficients> coefficients;
        std::vector<uint8_t> decoded;    // of each block
    } bands[3];
    bool failed = false;

    explicit Decoder(const jpeg_decompress_struct &header) : info(header) {}

    // Whether the frame is one the decoder computes as libjpeg does, and its
    // layout of blocks.
    bool setUp()
    {
        if (info.arith_code || info.data_precision != 8 || info.dct_method != JDCT_ISLOW ||
            !info.do_fancy_upsampling || info.image_width < 3 || info.CCIR601_sampling)
            return false;
        const bool gray = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE;
        if (!gray && !(info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr))
            return false;
        const jpeg_component_info &luma = info.comp_info[0];
        int mcuWidth = 8, mcuHeight = 8;
        if (!gray) {
            if (luma.h_samp_factor != info.max_h_samp_factor || luma.v_samp_factor != info.max_v_samp_factor ||
                info.max_h_samp_factor > 2 || info.max_v_samp_factor > 2)
                return false;
            for (int c = 1; c < 3; ++c)
                if (info.comp_info[c].h_samp_factor != 1 || info.comp_info[c].v_samp_factor != 1)
                    return false;
            mcuWidth = 8 * info.max_h_samp_factor;
            mcuHeight = 8 * info.max_v_samp_factor;
        }
        const int width = int(info.image_width), height = int(info.image_height);
        layout.mcuColumns = (width + mcuWidth - 1) / mcuWidth;
        layout.mcuRows = (height + mcuHeight - 1) / mcuHeight;
        components.resize(size_t(info.num_components));
        layout.components.resize(size_t(info.num_components));
        for (int index = 0; index < info.num_components; ++index) {
            const jpeg_component_info &frame = info.comp_info[index];
            Component &c = components[size_t(index)];
            BlockLayout::Component &blocks = layout.components[size_t(index)];
            if (!gray) {
                blocks.h = frame.h_samp_factor;
                blocks.v = frame.v_samp_factor;
                c.hShift = blocks.h / 2;
                c.vShift = blocks.v / 2;
            }
            layout.blocksInMcu += blocks.h * blocks.v;
            blocks.across = int(frame.width_in_blocks);
            blocks.down = int(frame.height_in_blocks);
            const int hs = gray ? 1 : info.max_h_samp_factor / blocks.h, vs = gray ? 1 : info.max_v_samp_factor / blocks.v;
            c.width = (width + hs - 1) / hs;
            c.height = (height + vs - 1) / vs;
            c.upsampling = hs == 2 ? (vs == 2 ? Upsampling::Both : Upsampling::Across)
                                   : (vs == 2 ? Upsampling::Down : Upsampling::None);
            // libjpeg repeats rather than smooths chroma two samples wide.
            if (hs == 2 && c.width <= 2)
                return false;
            const JQUANT_TBL *quant = frame.quant_tbl_no >= 0 && frame.quant_tbl_no < NUM_QUANT_TBLS
                                          ? info.quant_tbl_ptrs[frame.quant_tbl_no]
                                          : nullptr;
            if (!quant)
                return false;
            for (int i = 0; i < 64; ++i)
                blocks.quant[i] = int16_t(quant->quantval[i]);
        }
        return true;
    }

    // Marks the MCU rows, and the MCU columns, holding the samples of a
    // component that libjpeg's fancy upsampling (jdsample.c) reads for
    // output row y, and output column x: the nearer sample and the further
    // one where the chroma is halved that way, clamped to the component's
    // edges as libjpeg repeats them. The MCUs an output pixel reads are
    // those in both.
    void markRow(int index, int y)
    {
        const Component &c = components[size_t(index)];
        BlockLayout::Component &blocks = layout.components[size_t(index)];
        const bool down = c.upsampling == Upsampling::Down || c.upsampling == Upsampling::Both;
        for (const int sy : down ? std::array<int, 2>{y >> 1, y & 1 ? (y >> 1) + 1 : (y >> 1) - 1}
                                 : std::array<int, 2>{y, y}) {
            const int by = std::clamp(sy, 0, c.height - 1) >> 3;
            blocks.neededRows[size_t(by)] = 1;
            layout.neededRows[size_t(by >> c.vShift)] = 1;
        }
    }
    void markColumn(int index, int x)
    {
        const Component &c = components[size_t(index)];
        BlockLayout::Component &blocks = layout.components[size_t(index)];
        const bool across = c.upsampling == Upsampling::Across || c.upsampling == Upsampling::Both;
        for (const int sx : across ? std::array<int, 2>{x >> 1, x & 1 ? (x >> 1) + 1 : (x >> 1) - 1}
                                   : std::array<int, 2>{x, x}) {
            const int bx = std::clamp(sx, 0, c.width - 1) >> 3;
            blocks.neededColumns[size_t(bx)] = 1;
            layout.neededMcuColumns[size_t(bx >> c.hShift)] = 1;
        }
    }

    // The sample columns of a component that the chosen columns read, in
    // order, each once: its block among a band's and its column in that
    // block; and for each chosen column, the nearer and further one.
    struct SampleColumn
    {
        uint32_t block, column;
    };
    std::vector<SampleColumn> sampleColumns[3];
    std::vector<uint32_t> taps[3][2];

    void prepare(const std::vector<int> &columns)
    {
        for (size_t index = 0; index < components.size(); ++index) {
            const Component &c = components[index];
            const bool across = c.upsampling == Upsampling::Across || c.upsampling == Upsampling::Both;
            std::vector<int> read[2];
            for (const int x : columns) {
                const int nearer = across ? x >> 1 : x, further = across ? (x & 1 ? nearer + 1 : nearer - 1) : x;
                read[0].push_back(std::clamp(nearer, 0, c.width - 1));
                read[1].push_back(std::clamp(further, 0, c.width - 1));
            }
            std::vector<int> all = read[0];
            all.insert(all.end(), read[1].begin(), read[1].end());
            std::sort(all.begin(), all.end());
            all.erase(std::unique(all.begin(), all.end()), all.end());
            for (const int sx : all) {
                const int block = layout.components[index].kept[size_t(sx >> 3)];
                failed |= block < 0;
                sampleColumns[index].push_back({uint32_t(std::max(block, 0)), uint32_t(sx & 7)});
            }
            for (int which = 0; which < 2; ++which)
                for (const int sx : read[which])
                    taps[index][which].push_back(
                        uint32_t(std::lower_bound(all.begin(), all.end(), sx) - all.begin()));
        }
    }

    // A sample row of a component: the band holding it, and where.
    struct Line
    {
        Band *band;
        uint32_t blockRow;   // added to a sample column's block
        uint32_t row;        // in the block
    };

    Line line(int index, int sy)
    {
        const Component &c = components[size_t(index)];
        sy = std::clamp(sy, 0, c.height - 1);
        const int by = sy >> 3, my = by >> c.vShift;
        Band &band = bands[my % 3];
        failed |= band.row != my;
        return {&band, uint32_t(by & c.vShift), uint32_t(sy & 7)};
    }

    // A component's samples at its sample columns in row sy, each block's
    // inverse DCT done only as far as they read it. The last few rows are
    // kept, as the next output row may read them again.
    struct SampleRow
    {
        int sy = -1;   // none yet
        long used = 0;
        std::vector<uint8_t> samples;
    };
    SampleRow kept[3][3];
    long uses = 0;

    const uint8_t *sampleRow(int index, int sy)
    {
        sy = std::clamp(sy, 0, components[size_t(index)].height - 1);
        SampleRow *row = &kept[index][0];
        for (SampleRow &k : kept[index]) {
            if (k.sy == sy) {
                k.used = ++uses;
                return k.samples.data();
            }
            if (k.used < row->used)
                row = &k;
        }
        const Line l = line(index, sy);
        if (failed)
            return nullptr;
        const std::vector<SampleColumn> &at = sampleColumns[index];
        row->samples.resize(at.size());
        // A block's row of samples is computed whole, eight at once; only
        // those read must be in range.
        int16_t columns[8] = {};
        uint8_t samples[8] = {};
        unsigned outside = 0;
        size_t last = SIZE_MAX;
        for (size_t i = 0; i < at.size(); ++i) {
            const size_t block = at[i].block + l.blockRow;
            if (block != last) {
                last = block;
                if (!l.band->decoded[block] ||
                    !inverseDctColumns(l.band->coefficients[block], int(l.row), columns)) {
                    failed = true;
                    return nullptr;
                }
                outside = inverseDctRow(columns, samples);
            }
            if (outside >> at[i].column & 1) {
                failed = true;
                return nullptr;
            }
            row->samples[i] = samples[at[i].column];
        }
        row->sy = sy;
        row->used = ++uses;
        return row->samples.data();
    }

    // Output row y at the chosen columns, blue-green-red: each component
    // upsampled as libjpeg does, nearer sample 3/4 and further 1/4, then
    // libjpeg's YCbCr conversion.
    std::vector<int> values[3];
    bool emit(int y, const std::vector<int> &columns, uint8_t *out)
    {
        static const ColourTables tables;
        const size_t count = columns.size();
        for (size_t index = 0; index < components.size(); ++index) {
            const Upsampling u = components[index].upsampling;
            const bool down = u == Upsampling::Down || u == Upsampling::Both;
            const uint8_t *n = sampleRow(int(index), down ? y >> 1 : y);
            const uint8_t *f = down ? sampleRow(int(index), y & 1 ? (y >> 1) + 1 : (y >> 1) - 1) : n;
            if (failed)
                return false;
            const uint32_t *t0 = taps[index][0].data(), *t1 = taps[index][1].data();
            std::vector<int> &value = values[index];
            value.resize(count);
            const int downBias = y & 1 ? 2 : 1;
            switch (u) {
            case Upsampling::None:
                for (size_t i = 0; i < count; ++i)
                    value[i] = n[t0[i]];
                break;
            case Upsampling::Across:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * n[t0[i]] + n[t1[i]] + (columns[i] & 1 ? 2 : 1)) >> 2;
                break;
            case Upsampling::Down:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * n[t0[i]] + f[t0[i]] + downBias) >> 2;
                break;
            case Upsampling::Both:
                for (size_t i = 0; i < count; ++i)
                    value[i] = (3 * (3 * n[t0[i]] + f[t0[i]]) + 3 * n[t1[i]] + f[t1[i]] + (columns[i] & 1 ? 7 : 8)) >>
                               4;
                break;
            }
        }
        if (components.size() == 1) {
            for (size_t i = 0; i < count; ++i, out += 3)
                out[0] = out[1] = out[2] = uint8_t(values[0][i]);
            return true;
        }
        auto limit = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
        const int *luma = values[0].data(), *cbs = values[1].data(), *crs = values[2].data();
        for (size_t i = 0; i < count; ++i, out += 3) {
            const int y = luma[i], cb = cbs[i], cr = crs[i];
            out[2] = limit(y + tables.crRed[cr]);
            out[1] = limit(y + ((tables.cbGreen[cb] + tables.crGreen[cr]) >> 16));
            out[0] = limit(y + tables.cbBlue[cb]);
        }
        return true;
    }
};

} // namespace

namespace {

bool decodePixels(const jpeg_decompress_struct &info, const JOCTET *pending, size_t pendingBytes, std::FILE *file,
                  double memoryLimit, const std::vector<int> &rows, const std::vector<int> &columns, bool always,
                  const std::function<void(int row, const unsigned char *bgr)> &put)
{
    Decoder d(info);
    if (rows.empty() || columns.empty() || !d.setUp())
        return false;
    BlockLayout &layout = d.layout;

    // Which MCUs the chosen pixels read.
    layout.neededRows.assign(size_t(layout.mcuRows), 0);
    layout.neededMcuColumns.assign(size_t(layout.mcuColumns), 0);
    for (size_t c = 0; c < d.components.size(); ++c) {
        BlockLayout::Component &blocks = layout.components[c];
        blocks.neededRows.assign(size_t(layout.mcuRows * blocks.v), 0);
        blocks.neededColumns.assign(size_t(layout.mcuColumns * blocks.h), 0);
        for (const int y : rows)
            d.markRow(int(c), y);
        for (const int x : columns)
            d.markColumn(int(c), x);
    }
    // The kept blocks of an MCU row: each kept block column's rows of the
    // MCU, one after another.
    for (BlockLayout::Component &blocks : layout.components)
        for (const char needed : blocks.neededColumns) {
            blocks.kept.push_back(needed ? layout.keptBlocks : -1);
            layout.keptBlocks += needed ? blocks.v : 0;
        }
    layout.lastRow = layout.mcuRows - 1;
    while (!layout.neededRows[size_t(layout.lastRow)])
        --layout.lastRow;
    layout.lastColumn = layout.mcuColumns - 1;
    while (!layout.neededMcuColumns[size_t(layout.lastColumn)])
        --layout.lastColumn;
    // A file of several scans (progressive, or a scan per component) is
    // decoded whole by libjpeg before any row comes out: the blocks needed
    // alone always cost less. A sequential one is decoded a row at a time;
    // where most MCUs are needed anyway, libjpeg's own decoding is faster,
    // unless the chosen pixels are so sparse that computing each of them
    // costs less than libjpeg's inverse DCT of every block: 3% of the
    // picture or less, as the panel's in a photo of 6.5 MP or more (both
    // take the same at 6 MP, on the bench photo scaled down).
    const bool scans = jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&info));
    const long neededMcus = std::count(layout.neededMcuColumns.begin(), layout.neededMcuColumns.end(), 1) *
                            std::count(layout.neededRows.begin(), layout.neededRows.end(), 1);
    const double chosen = double(rows.size()) * double(columns.size());
    if (!always && !scans && neededMcus > long(layout.mcuColumns) * layout.mcuRows / 4 &&
        chosen * 100 > 3 * double(info.image_width) * double(info.image_height))
        return false;

    // Where the coded data are: after the bytes libjpeg holds, for the one
    // scan it has read the header of; each scan of several where the file's
    // markers put it, the first where libjpeg stands.
    const int descriptor = file ? fileno(file) : -1;
    const long offset = file ? std::ftell(file) : 0;
    JpegScript script;
    if (scans) {
        if (!file || offset < 0)
            return false;
        FileWindow window(file);
        script = jpegScript(info, window);
        if (!script.plain || script.scans.empty() || script.scans.front().data != double(offset) - double(pendingBytes))
            return false;
    }
    // Three bands of coefficients, and what the scans keep.
    const size_t blocks = size_t(layout.keptBlocks);
    const double bands = 3.0 * double(blocks) * (sizeof(Coefficients) + 1);
    if (!d.entropy.setUp(info, layout, scans ? &script : nullptr, pending, pendingBytes, descriptor, double(offset),
                         memoryLimit - bands))
        return false;
    for (Decoder::Band &band : d.bands) {
        band.coefficients.resize(blocks);
        band.decoded.resize(blocks);
    }
    d.prepare(columns);
    if (d.failed)
        return false;

    std::vector<uint8_t> out(columns.size() * 3);
    size_t nextRow = 0;
    auto emitRowsOf = [&](int mcuRow) {
        const int mcuHeight = 8 << d.components[0].vShift;
        for (; nextRow < rows.size() && rows[nextRow] / mcuHeight <= mcuRow; ++nextRow) {
            if (!d.emit(rows[nextRow], columns, out.data()))
                return false;
            put(rows[nextRow], out.data());
        }
        return true;
    };
    for (int my = 0; my <= layout.lastRow; ++my) {
        Decoder::Band &band = d.bands[my % 3];
        band.row = layout.neededRows[size_t(my)] ? my : -1;
        std::fill(band.decoded.begin(), band.decoded.end(), uint8_t(0));
        BlockRow row{my, band.coefficients.data(), band.decoded.data()};
        if (!d.entropy.decodeRow(row))
            return false;
        // The rows of the MCU row above have all they read now.
        if (!emitRowsOf(my - 1))
            return false;
    }
    return emitRowsOf(layout.lastRow) && nextRow == rows.size();
}

// libjpeg's error manager, jumping back instead of ending the program.
struct Jumper
{
    jpeg_error_mgr manager{};   // first, so that libjpeg's pointer to it is one to this
    std::jmp_buf jump;

    explicit Jumper(jpeg_common_struct &common)
    {
        common.err = jpeg_std_error(&manager);
        manager.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Jumper *>(c->err)->jump, 1); };
        manager.output_message = [](j_common_ptr) {};
    }
};

// A small picture of gradients and noise as libjpeg writes it, gray or
// with the luma sampled h x v, progressive by libjpeg's own script or not;
// empty if it cannot.
std::vector<uint8_t> samplePicture(int width, int height, bool gray, int h, int v, bool progressive)
{
    std::vector<uint8_t> pixels(size_t(width * height * 3));
    uint32_t seed = 7;
    for (size_t i = 0; i < pixels.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        pixels[i] = uint8_t(i / 3 % size_t(width) * 5 + i / 3 / size_t(width) * (2 + i % 3) + (seed >> 16) % 96);
    }
    jpeg_compress_struct info{};
    Jumper errors(*reinterpret_cast<jpeg_common_struct *>(&info));
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    std::vector<uint8_t> file;
    if (!setjmp(errors.jump)) {
        jpeg_create_compress(&info);
        jpeg_mem_dest(&info, &bytes, &size);
        info.image_width = JDIMENSION(width);
        info.image_height = JDIMENSION(height);
        info.input_components = 3;
        info.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 85, TRUE);
        if (gray)
            jpeg_set_colorspace(&info, JCS_GRAYSCALE);
        info.comp_info[0].h_samp_factor = h;
        info.comp_info[0].v_samp_factor = v;
        if (progressive)
            jpeg_simple_progression(&info);
        jpeg_start_compress(&info, TRUE);
        for (JSAMPROW row = pixels.data(); info.next_scanline < info.image_height; row += width * 3)
            jpeg_write_scanlines(&info, &row, 1);
        jpeg_finish_compress(&info);
        file.assign(bytes, bytes + size);
    }
    jpeg_destroy_compress(&info);
    std::free(bytes);
    return file;
}

// The picture decoded by libjpeg, or by decodePixels; empty if it fails.
// The file is read from memory that has a descriptor, as a file on disk is.
std::vector<uint8_t> decodeBothWays(const std::vector<uint8_t> &bytes, bool ours)
{
    const int descriptor = memfd_create("sixfold-self-check", 0);
    std::FILE *file = descriptor >= 0 ? fdopen(descriptor, "w+b") : nullptr;
    if (!file) {
        if (descriptor >= 0)
            close(descriptor);
        return {};
    }
    std::vector<uint8_t> out;
    jpeg_decompress_struct info{};
    Jumper errors(*reinterpret_cast<jpeg_common_struct *>(&info));
    std::vector<int> rows, columns;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0 &&
        std::fseek(file, 0, SEEK_SET) == 0 && !setjmp(errors.jump)) {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file);
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_EXT_BGR;
        jpeg_calc_output_dimensions(&info);
        const size_t stride = size_t(info.output_width) * 3;
        out.resize(stride * info.output_height);
        for (int y = 0; y < int(info.output_height); ++y)
            rows.push_back(y);
        for (int x = 0; x < int(info.output_width); ++x)
            columns.push_back(x);
        if (ours) {
            if (!decodePixels(info, info.src->next_input_byte, info.src->bytes_in_buffer, file, 1e9, rows, columns,
                              true, [&](int y, const unsigned char *bgr) {
                                  std::copy(bgr, bgr + stride, out.begin() + long(size_t(y) * stride));
                              }))
                out.clear();
        } else {
            jpeg_start_decompress(&info);
            for (JSAMPROW row = out.data(); info.output_scanline < info.output_height; row += stride)
                jpeg_read_scanlines(&info, &row, 1);
            jpeg_finish_decompress(&info);
        }
    } else {
        out.clear();
    }
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return out;
}

// Whether the decoder gives what the libjpeg in use gives, on a picture of
// each kind it decodes, and a progressive one: checked once, as
// libjpeg-turbo could one day compute otherwise than the version the
// decoder follows. The scans of a progressive file are the decoder's own
// reading; what libjpeg makes of their coefficients (whether it smooths
// them, its inverse DCT, upsampling and colour) is checked on one picture
// whose chroma is halved both ways.
bool computesAsLibjpeg()
{
    const struct { bool gray; int h, v; bool progressive; } kinds[] = {
        {true, 1, 1, false}, {false, 1, 1, false}, {false, 2, 1, false}, {false, 1, 2, false}, {false, 2, 2, false},
        {false, 2, 2, true}};
    for (const auto &kind : kinds) {
        const std::vector<uint8_t> file = samplePicture(45, 37, kind.gray, kind.h, kind.v, kind.progressive);
        const std::vector<uint8_t> expected = decodeBothWays(file, false);
        if (file.empty() || expected.empty() || decodeBothWays(file, true) != expected)
            return false;
    }
    return true;
}

} // namespace

bool decodeJpegPixels(const jpeg_decompress_struct &info, const JOCTET *pending, size_t pendingBytes,
                      std::FILE *file, double memoryLimit, const std::vector<int> &rows,
                      const std::vector<int> &columns,
                      const std::function<void(int row, const unsigned char *bgr)> &put)
{
#if !KnownLibjpeg
    return false;
#else
    bool always = false;
#ifdef SIXFOLD_READER_TESTING
    readerTesting.blockDecoded = false;
    if (readerTesting.blocks == ReaderTesting::Blocks::Never)
        return false;
    always = readerTesting.blocks == ReaderTesting::Blocks::Always;
#endif
    const bool decoded = blockDecoderAgreesWithLibjpeg() &&
                         decodePixels(info, pending, pendingBytes, file, memoryLimit, rows, columns, always, put);
#ifdef SIXFOLD_READER_TESTING
    readerTesting.blockDecoded = decoded;
#endif
    return decoded;
#endif
}

bool blockDecoderBuilt()
{
    return KnownLibjpeg;
}

bool blockDecoderAgreesWithLibjpeg()
{
    static const bool alike = KnownLibjpeg && computesAsLibjpeg();
    return alike;
}

} // namespace sixfold
