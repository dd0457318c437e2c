// Differential libFuzzer target for the JPEG and PNG reader: the bytes,
// saved as a file, are read as the window reads them, and must give what
// cv::imread of the whole file gives, or both must fail. Any difference
// aborts, naming the pixel.
//
// Built for testing (SIXFOLD_READER_TESTING: the fuzz and sanitizer builds),
// it has the reader decode the lines of a panel of a few pixels, so that
// small pictures skip rows and blocks as big ones do, three times: with
// the block decoder where it pays, nowhere, and wherever it can decode;
// every pixel read is compared. Otherwise the window loads the file and its
// six views and stored panel copy are compared with the plain pipeline's.
//
// Only JPEG and PNG files declaring at most 4 megapixels are compared, so
// that the fuzzer explores the formats rather than big allocations. A
// quarter of the mutations give one component of a JPEG new sampling
// factors; three quarters of those of a PNG are followed by putting its
// checks right again, its data's Adler-32 and its chunks' CRCs, so that
// they reach its image data and rows rather than end in a CRC error.
//
// With SIXFOLD_MAKE_SEEDS=DIR set, it writes a starting corpus into DIR and
// exits. Built without libFuzzer (SIXFOLD_REPLAY), it is the replay test:
// it runs the comparison over those seeds and over the corpus files named
// on its command line (one base64 input a line).

#include "imagereader.h"
#include "mainwindow.h"
#include "readertesting.h"
#include "support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zlib.h>

#ifdef SIXFOLD_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

using support::samePanelPixels;

namespace {

constexpr double MaxPixels = 4 * 1024 * 1024;

// Where a JPEG's first frame header starts, walking the markers as libjpeg
// does (bytes between them, and a zero after 0xff, are skipped); 0 when it
// has none.
size_t frameHeader(const uint8_t *data, size_t size)
{
    for (size_t at = 2; at + 1 < size;) {
        if (data[at] != 0xff) {
            ++at;
            continue;
        }
        const uint8_t marker = data[at + 1];
        if (marker == 0xff || marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) {
            at += marker == 0xff ? 1 : 2;
            continue;
        }
        if (marker == 0xda || marker == 0xd9 || at + 9 >= size)
            return 0;
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc)
            return at;
        at += 2 + size_t(data[at + 2] << 8 | data[at + 3]);
    }
    return 0;
}

// The size a JPEG's first frame header or a PNG's header declares; 0 when
// it declares none, -1 when the bytes are neither JPEG nor PNG. The fuzz
// script and the replay also set OpenCV's own limit to the same size,
// should this and libjpeg ever disagree.
double declaredPixels(const uint8_t *data, size_t size)
{
    auto be16 = [data](size_t at) { return double(data[at] << 8 | data[at + 1]); };
    if (size >= 24 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return std::memcmp(data + 12, "IHDR", 4) == 0
            ? (be16(16) * 65536 + be16(18)) * (be16(20) * 65536 + be16(22))
            : 0;
    if (size < 3 || data[0] != 0xff || data[1] != 0xd8 || data[2] != 0xff)
        return -1;
    const size_t frame = frameHeader(data, size);
    return frame ? be16(frame + 5) * be16(frame + 7) : 0;
}

uint32_t bigEndian32(const uint8_t *b)
{
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

void putBigEndian32(uint8_t *b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[i] = uint8_t(v >> (24 - 8 * i));
}

// Puts a PNG's checks right: the Adler-32 after its image data's deflate
// blocks, where ISA-L's inflate (which takes more than zlib: incomplete
// codes) gets through them, then every whole chunk's CRC.
void fixPngChecks(uint8_t *data, size_t size)
{
#ifdef SIXFOLD_ISAL
    std::vector<uint8_t> stream;
    std::vector<size_t> where;   // each stream byte's place in the file
    for (size_t at = 8; at + 12 <= size && at + 12 + bigEndian32(data + at) <= size; at += 12 + bigEndian32(data + at))
        if (std::memcmp(data + at + 4, "IDAT", 4) == 0)
            for (size_t i = at + 8; i < at + 8 + bigEndian32(data + at); ++i) {
                stream.push_back(data[i]);
                where.push_back(i);
            }
    if (stream.size() > 6) {
        inflate_state state;
        isal_inflate_init(&state);
        state.crc_flag = ISAL_ZLIB_NO_HDR;
        state.next_in = stream.data() + 2;
        state.avail_in = uint32_t(stream.size() - 2);
        std::vector<uint8_t> out(65536);
        do {
            state.next_out = out.data();
            state.avail_out = uint32_t(out.size());
        } while (isal_inflate(&state) == ISAL_DECOMP_OK && state.block_state != ISAL_BLOCK_FINISH
                 && state.total_out < (1u << 26) && state.avail_out == 0);
        const size_t end = stream.size() - state.avail_in - size_t(state.read_in_length / 8);
        if (state.block_state == ISAL_BLOCK_FINISH && end + 4 <= stream.size())
            for (int i = 0; i < 4; ++i)
                data[where[end + size_t(i)]] = uint8_t(state.crc >> (24 - 8 * i));
    }
#endif
    for (size_t at = 8; at + 12 <= size && at + 12 + bigEndian32(data + at) <= size; at += 12 + bigEndian32(data + at))
        putBigEndian32(data + at + 8 + bigEndian32(data + at),
                       uint32_t(crc32(0, data + at + 4, uInt(bigEndian32(data + at) + 4))));
}

[[noreturn]] void differ(const char *what)
{
    std::fprintf(stderr, "the reader differs from cv::imread: %s\n", what);
    std::abort();
}

#ifndef SIXFOLD_READER_TESTING
// Aborts unless the picture equals the plain pipeline's, naming the first
// pixel that differs.
void compare(const char *view, const cv::Mat &shown, const cv::Mat &expected)
{
    if (shown.size() != expected.size() || shown.type() != expected.type()) {
        std::fprintf(stderr, "%s: %d x %d shown, %d x %d expected\n", view, shown.cols, shown.rows, expected.cols,
                     expected.rows);
        differ(view);
    }
    for (int y = 0; y < shown.rows; ++y)
        for (int x = 0; x < shown.cols; ++x)
            if (shown.at<cv::Vec3b>(y, x) != expected.at<cv::Vec3b>(y, x)) {
                const cv::Vec3b a = shown.at<cv::Vec3b>(y, x), b = expected.at<cv::Vec3b>(y, x);
                std::fprintf(stderr, "%s at x %d, y %d: %d %d %d shown, %d %d %d expected\n", view, x, y, a[0],
                             a[1], a[2], b[0], b[1], b[2]);
                differ(view);
            }
}
#endif

// Tells the fuzzer which format the bytes are, whether they loaded and
// their rough length: the decoders themselves are not instrumented.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t outcomes[2 * 2 * 16];

MainWindow *window = nullptr;
QString inputPath;
int compared = 0;

// A starting corpus: every path of the reader, below the panel and at
// heights around its sampling steps, and JPEGs of uncommon sampling layouts
// (gray stored sampled, luma sampled up to four times, chroma sampled more
// than luma, four components), taller than a small panel reads.
void makeSeeds(const QString &dir)
{
    QDir().mkpath(dir);
    int count = 0;
    auto seed = [&](const QByteArray &bytes) {
        support::writeBytes(dir + QString("/seed%1").arg(++count, 3, 10, QChar('0')), bytes);
    };
    for (const QSize size : {QSize(40, 30), QSize(7, 193), QSize(300, 3)})
        for (const auto &file : support::readerCases(size.width(), size.height()))
            seed(file.second);
    const std::vector<std::vector<QSize>> layouts = {
        {{1, 2}}, {{2, 2}}, {{1, 4}}, {{4, 3}},
        {{1, 4}, {1, 1}, {1, 1}}, {{4, 1}, {1, 1}, {1, 1}}, {{2, 4}, {1, 1}, {1, 1}}, {{4, 2}, {1, 1}, {1, 1}},
        {{3, 1}, {1, 1}, {1, 1}}, {{1, 3}, {1, 1}, {1, 1}}, {{1, 1}, {1, 2}, {1, 4}}, {{2, 2}, {1, 2}, {2, 1}},
        {{1, 1}, {2, 2}, {2, 2}}, {{1, 4}, {1, 2}, {1, 2}}, {{2, 2}, {1, 1}, {1, 1}, {2, 2}},
        {{1, 2}, {1, 1}, {1, 1}, {1, 4}}};
    const cv::Mat photo = support::photoLike(24, 120, 4);
    // Progressions: refinement in steps with restart markers, spectral
    // selection, a scan a component, luma's last bit never sent.
    using Scan = support::JpegOptions::Scan;
    for (const std::vector<Scan> &script : std::vector<std::vector<Scan>>{
             {{{0, 1, 2}, 0, 0, 0, 2}, {{0}, 1, 63, 0, 2}, {{1}, 1, 63, 0, 1}, {{2}, 1, 63, 0, 1},
              {{0}, 1, 63, 2, 1}, {{0, 1, 2}, 0, 0, 2, 1}, {{0, 1, 2}, 0, 0, 1, 0}, {{0}, 1, 63, 1, 0},
              {{1}, 1, 63, 1, 0}, {{2}, 1, 63, 1, 0}},
             {{{0, 1, 2}, 0, 0, 0, 0}, {{0}, 1, 5, 0, 0}, {{0}, 6, 63, 0, 0}, {{1}, 1, 63, 0, 0}, {{2}, 1, 63, 0, 0}},
             {{{0}}, {{1}}, {{2}}},
             {{{0, 1, 2}, 0, 0, 0, 0}, {{0}, 1, 63, 0, 1}, {{1}, 1, 63, 0, 0}, {{2}, 1, 63, 0, 0}}}) {
        support::JpegOptions options;
        options.script = script;
        options.restartMcus = 2;
        seed(support::jpegFile(photo, options));
    }
    // PNGs as libpng writes them by default (filtered, their data in a
    // window of their size), and one of the least Huffman code zlib takes.
    const QByteArray rgb(reinterpret_cast<const char *>(photo.data), qsizetype(photo.total() * 3));
    seed(support::pngWritten(photo.cols, photo.rows, 8, 2, rgb, false, false, true));
    seed(support::pngWritten(photo.cols, photo.rows, 8, 2, rgb, true, false, true));
    seed(support::pngHeader(40, 30, 8, 0) + support::pngChunk("IDAT", support::zlibOfZeros(41 * 30, true))
         + support::pngChunk("IEND", {}));
    for (const std::vector<QSize> &layout : layouts) {
        const cv::Mat image = support::withChannels(photo, int(layout.size()));
        for (const bool progressive : {false, true}) {
            support::JpegOptions options;
            options.progressive = progressive;
            options.sampling = layout;
            seed(support::jpegFile(image, options));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    window = support::fuzzWindow((*argv)[0], makeSeeds, inputPath);
    return 0;
}

#ifndef SIXFOLD_REPLAY
extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// A quarter of the time, one component of a JPEG's frame header gets new
// sampling factors (1 to 4 either way); an eighth, one scan header a new
// band or new bits (the first or last coefficient moved by one, or Ah and
// Al anew), so that progressions libjpeg refuses, warns about or smooths
// come up; otherwise libFuzzer mutates.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand random(seed);
    const size_t frame = size > 3 && data[0] == 0xff && data[1] == 0xd8 ? frameHeader(data, size) : 0;
    const unsigned choice = random() % 8;
    if (frame && choice < 2 && frame + 10 < size && data[frame + 9] > 0) {
        const size_t component = frame + 10 + 3 * (random() % data[frame + 9]) + 1;
        if (component < size) {
            data[component] = uint8_t((random() % 4 + 1) << 4 | (random() % 4 + 1));
            return size;
        }
    }
    if (frame && choice == 2) {
        std::vector<size_t> scans;
        for (size_t at = frame; at + 5 < size; ++at)
            if (data[at] == 0xff && data[at + 1] == 0xda)
                scans.push_back(at);
        const size_t scan = scans.empty() ? 0 : scans[random() % scans.size()];
        const size_t parameters = scan + 5 + 2 * size_t(scan ? data[scan + 4] : 0);
        if (scan && parameters + 2 < size) {
            const unsigned which = random() % 3;
            data[parameters + which] = uint8_t(which == 2 ? random() % 256 : data[parameters + which] + (random() % 2 ? 1 : 255));
            return size;
        }
    }
    const size_t mutated = LLVMFuzzerMutate(data, size, maxSize);
    if (choice < 6 && mutated >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        fixPngChecks(data, mutated);
    return mutated;
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const double pixels = declaredPixels(data, size);
    if (pixels < 0 || pixels > MaxPixels)
        return -1;   // not kept in the corpus
    support::writeBytes(inputPath, QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    cv::Mat plain;
    bool comparable = true;
    try {
        plain = cv::imread(inputPath.toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        comparable = false;   // beyond what OpenCV accepts: not compared
    }
#ifdef SIXFOLD_READER_TESTING
    // A panel of 2 to 9 by 1 to 6 pixels, from the input's length.
    sixfold::readerTesting.panelWidth = 2 + int(size % 8);
    sixfold::readerTesting.panelHeight = 1 + int(size / 8 % 6);
    bool loaded = false;
    using Blocks = sixfold::ReaderTesting::Blocks;
    for (const Blocks blocks : {Blocks::Auto, Blocks::Never, Blocks::Always}) {
        sixfold::readerTesting.blocks = blocks;
        const cv::Mat read = sixfold::readImage(inputPath.toStdString(), 4e9);
        loaded = !read.empty();
        if (comparable && read.empty() != plain.empty())
            differ(loaded ? "the reader read a file cv::imread cannot read"
                          : "the reader failed on a file cv::imread reads");
        if (comparable && !samePanelPixels(read, plain, {sixfold::readerTesting.panelWidth,
                                                         sixfold::readerTesting.panelHeight})) {
            std::fprintf(stderr, "block decoder %d\n", int(blocks));
            differ("pixel");
        }
    }
    sixfold::readerTesting = {};
    compared += comparable;
#else
    const bool loaded = window->openImage(inputPath);
    if (comparable) {
        if (plain.empty() != !loaded)
            differ(loaded ? "the program loaded a file cv::imread cannot read"
                          : "the program failed on a file cv::imread reads");
        ++compared;
        if (loaded) {
            static const char *const names[] = {"origin", "mygray", "gray", "gaussian", "sobel", "laplacian"};
            const std::vector<cv::Mat> shown = support::viewPictures(*window),
                                       expected = support::expectedViews(plain);
            for (size_t i = 0; i < shown.size(); ++i)
                compare(names[i], shown[i], expected[i]);
            compare("rgbPanelImage", window->panelImage(), expected[0]);
        }
    }
#endif
    unsigned length = 0;
    while (length < 15 && (size_t(1) << length) < size)
        ++length;
    ++outcomes[((data[0] == 0xff) * 2 + loaded) * 16 + length];
    return 0;
}

#ifdef SIXFOLD_REPLAY
int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    QTemporaryDir seeds;
    makeSeeds(seeds.path());
    QList<QByteArray> inputs;
    for (const QString &name : QDir(seeds.path()).entryList(QDir::Files)) {
        QFile file(seeds.filePath(name));
        file.open(QIODevice::ReadOnly);
        inputs << file.readAll();
    }
    for (int i = 1; i < argc; ++i) {
        QFile corpus(QFile::decodeName(argv[i]));
        if (!corpus.open(QIODevice::ReadOnly))
            qFatal("cannot read the corpus %s", argv[i]);
        for (const QByteArray &line : corpus.readAll().split('\n'))
            if (!line.isEmpty() && !line.startsWith('#'))
                inputs << QByteArray::fromBase64(line);
    }
    for (const QByteArray &input : inputs)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    std::printf("%d of %lld inputs compared, no difference\n", compared, qlonglong(inputs.size()));
    // Qt's caches (its fonts, among them) go with the application.
    delete window;
    delete qApp;
    return 0;
}
#endif
