// Differential libFuzzer target for the JPEG and PNG reader: the bytes,
// saved as a file, are loaded by the window, and its six views and stored
// panel copy must equal what the plain pipeline gives (cv::imread of the
// whole file, then the steps), or both must fail. Any difference aborts,
// naming the view and the pixel.
//
// Only JPEG and PNG files declaring at most 4 megapixels are compared, so
// that the fuzzer explores the formats rather than big allocations.
//
// With SIXFOLD_MAKE_SEEDS=DIR set, it writes a starting corpus into DIR and
// exits. Built without libFuzzer (SIXFOLD_REPLAY), it is the replay test:
// it runs the comparison over those seeds and over the corpus files named
// on its command line (one base64 input a line).

#include "mainwindow.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double MaxPixels = 4 * 1024 * 1024;

// The size a JPEG's first frame header or a PNG's header declares, walking
// the markers as libjpeg does (bytes between them, and a zero after 0xff,
// are skipped); 0 when it declares none, -1 when the bytes are neither JPEG
// nor PNG. The fuzz script and the replay also set OpenCV's own limit to the
// same size, should the walk and libjpeg ever disagree.
double declaredPixels(const uint8_t *data, size_t size)
{
    auto be16 = [data](size_t at) { return double(data[at] << 8 | data[at + 1]); };
    if (size >= 24 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return std::memcmp(data + 12, "IHDR", 4) == 0
            ? (be16(16) * 65536 + be16(18)) * (be16(20) * 65536 + be16(22))
            : 0;
    if (size < 3 || data[0] != 0xff || data[1] != 0xd8 || data[2] != 0xff)
        return -1;
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
            return be16(at + 5) * be16(at + 7);
        at += 2 + size_t(be16(at + 2));
    }
    return 0;
}

[[noreturn]] void differ(const char *what)
{
    std::fprintf(stderr, "the reader differs from cv::imread: %s\n", what);
    std::abort();
}

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

// Tells the fuzzer which format the bytes are, whether they loaded and
// their rough length: the decoders themselves are not instrumented.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t outcomes[2 * 2 * 16];

MainWindow *window = nullptr;
QString inputPath;
int compared = 0;

// A starting corpus: every path of the reader, below the panel, at heights
// around its sampling steps, and JPEGs thin enough for the panel to need
// few of their blocks.
void makeSeeds(const QString &dir)
{
    QDir().mkpath(dir);
    int count = 0;
    for (const QSize size : {QSize(40, 30), QSize(7, 193), QSize(300, 3), QSize(16, 16000), QSize(24000, 16)})
        for (const auto &file : support::readerCases(size.width(), size.height()))
            if (size.width() * size.height() < 100000 ||
                (file.first.startsWith("jpeg") && !file.first.contains("cmyk") && !file.first.contains("ycck") &&
                 !file.first.contains("progressive") && !file.first.contains("4:1:1")))
                support::writeBytes(dir + QString("/seed%1").arg(++count, 3, 10, QChar('0')), file.second);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    window = support::fuzzWindow((*argv)[0], makeSeeds, inputPath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const double pixels = declaredPixels(data, size);
    if (pixels < 0 || pixels > MaxPixels)
        return -1;   // not kept in the corpus
    support::writeBytes(inputPath, QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const bool loaded = window->openImage(inputPath);
    unsigned length = 0;
    while (length < 15 && (size_t(1) << length) < size)
        ++length;
    ++outcomes[((data[0] == 0xff) * 2 + loaded) * 16 + length];

    cv::Mat plain;
    try {
        plain = cv::imread(inputPath.toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
        return 0;   // beyond what OpenCV accepts: not compared
    }
    if (plain.empty() != !loaded)
        differ(loaded ? "the program loaded a file cv::imread cannot read"
                      : "the program failed on a file cv::imread reads");
    ++compared;
    if (!loaded)
        return 0;
    static const char *const names[] = {"origin", "mygray", "gray", "gaussian", "sobel", "laplacian"};
    const std::vector<cv::Mat> shown = support::viewPictures(*window), expected = support::expectedViews(plain);
    for (size_t i = 0; i < shown.size(); ++i)
        compare(names[i], shown[i], expected[i]);
    cv::Mat panel = window->panelImage();
    compare("rgbPanelImage", panel, expected[0]);
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
    return 0;
}
#endif
