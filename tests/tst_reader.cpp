// Reading only the rows the views show gives exactly what reading the whole
// file with cv::imread gives.

#include "imageops.h"
#include "exif.h"
#include "imagereader.h"
#include "inflater.h"
#include "jpegpixels.h"
#include "jpegscans.h"
#include "mainwindow.h"
#include "memorylimit.h"
#include "pngchunks.h"
#include "pngpixels.h"
#include "readertesting.h"
#include "rowreader.h"
#include "support.h"

#include <QFile>
#include <QtEndian>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/core/version.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <map>
#include <optional>
#include <random>
#include <vector>

Q_DECLARE_METATYPE(std::vector<QByteArray>)

namespace {

using support::exifBlock;
using support::samePanelPixels;

const QByteArray exifHeader("Exif\0\0", 6);

// The picture the program's own PNG decoder makes of a file, if it takes it.
std::optional<cv::Mat> decodedItself(const QString &path)
{
    std::FILE *file = std::fopen(path.toLocal8Bit().constData(), "rb");
    std::optional<cv::Mat> read = file ? sixfold::readPngItself(file, 1e9) : std::nullopt;
    if (file)
        std::fclose(file);
    return read;
}

} // namespace

class TestReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void scalingReadsOnlyPanelLines_data();
    void scalingReadsOnlyPanelLines();
    void sameAsWholeRead_data();
    void sameAsWholeRead();
    void everySamplingLayout_data();
    void everySamplingLayout();
    void progressionScripts_data();
    void progressionScripts();
    void scanHeadersWalked_data();
    void scanHeadersWalked();
    void pngLeftToLibpng_data();
    void pngLeftToLibpng();
    void paethRowsSideBySide_data();
    void paethRowsSideBySide();
    void exifOrientationAsOpenCv_data();
    void exifOrientationAsOpenCv();
    void refusesWhatWouldNotFit_data();
    void refusesWhatWouldNotFit();
    void followsOpenCvSizeLimit_data();
    void followsOpenCvSizeLimit();
    void memoryLeftToTheProgram_data();
    void memoryLeftToTheProgram();
    void blockDecoderAgreesWithLibjpeg();

private:
    QTemporaryDir dir;
};

void TestReader::scalingReadsOnlyPanelLines_data()
{
    QTest::addColumn<bool>("columns");
    QTest::addColumn<int>("across");   // the other dimension
    // 512 wide by 384 high is exactly twice the panel, which OpenCV scales
    // by averaging instead.
    for (const int across : {1, 7, 512})
        QTest::addRow("rows, %d wide", across) << false << across;
    for (const int across : {1, 64})
        QTest::addRow("columns, %d high", across) << true << across;
}

void TestReader::scalingReadsOnlyPanelLines()
{
    // Two pictures that differ everywhere but in the lines the panel reads
    // scale to the same panel, for every size up to a few thousand.
    QFETCH(bool, columns);
    QFETCH(int, across);
    const int longest = 2000;
    cv::Mat a(columns ? across : longest, columns ? longest : across, CV_8UC3), b(a.size(), a.type());
    cv::randu(a, 0, 256);
    cv::randu(b, 0, 256);
    const cv::Mat original = b.clone();
    // Copies line i (a row, or a column) of one picture into another.
    auto copyLine = [columns, across](const cv::Mat &from, cv::Mat &to, int i) {
        for (int k = 0; k < (columns ? across : 1); ++k)
            std::copy_n(from.ptr<cv::Vec3b>(columns ? k : i, columns ? i : 0), columns ? 1 : across,
                        to.ptr<cv::Vec3b>(columns ? k : i, columns ? i : 0));
    };
    cv::Mat fromA, fromB;
    for (int size = 1; size <= longest; ++size) {
        const cv::Rect region(0, 0, columns ? size : across, columns ? across : size);
        const std::vector<int> lines = columns ? sixfold::panelSourceColumns(size) : sixfold::panelSourceRows(size);
        for (const int i : lines)
            copyLine(a, b, i);
        cv::resize(a(region), fromA, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
        cv::resize(b(region), fromB, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
        if (!support::samePixels(fromA, fromB))
            QFAIL(qPrintable(QString("a line the panel reads is missing at size %1").arg(size)));
        for (const int i : lines)
            copyLine(original, b, i);
    }
}

void TestReader::sameAsWholeRead_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<cv::Mat>("expected");   // empty: what cv::imread gives

    // Below the panel, around it (twice it exactly, where scaling averages
    // instead), and well above it.
    // Thin pictures, of which the panel needs few blocks: one block at a
    // time is decoded then, not libjpeg's rows.
    const QList<QSize> sizes = {{40, 30}, {512, 384}, {700, 517}, {52, 20000}, {4, 20000}, {30000, 37}};
    for (const QSize &size : sizes)
        for (const auto &[name, bytes] : support::readerCases(size.width(), size.height()))
            if (std::max(size.width(), size.height()) < 20000 || name.startsWith("jpeg"))
                QTest::addRow("%s, %dx%d", name.constData(), size.width(), size.height()) << bytes << cv::Mat();

    // Fill bytes before a stuffed 0xff in the coded data: libjpeg-turbo's
    // two Huffman decoders read them differently.
    QByteArray filled = support::jpegFile(support::photoLike(700, 517, 5));
    int at = int(filled.size() / 4);
    while (uchar(filled[at - 1]) == 0xff)
        ++at;
    QTest::newRow("jpeg with fill bytes in its data") << filled.insert(at, "\xff\xff\x00", 3) << cv::Mat();

    // Flat, progressive by spectral selection only and with tables made for
    // it: a bit a block, the least Huffman coding allows, so that its
    // coefficients take over a thousand times the file's size.
    support::JpegOptions fewestBits{1, 1};
    fewestBits.spectral = true;
    const QByteArray flat = support::jpegFile(cv::Mat(3072, 4096, CV_8UC3, cv::Scalar(40, 90, 160)), fewestBits);
    QVERIFY(3 * 4096 * 3072 * 2 > 1000 * flat.size());
    QTest::newRow("flat progressive jpeg taking 1000 times its size") << flat << cv::Mat();
    // Its scans carry only the luma, which alone costs bits.
    fewestBits.firstComponentOnly = true;
    QTest::newRow("flat progressive jpeg whose scans carry only luma")
        << support::jpegFile(cv::Mat(3352, 3352, CV_8UC3, cv::Scalar(40, 90, 160)), fewestBits) << cv::Mat();
    // Arithmetic-coded, a few hundred bytes, which cannot be told from a
    // cut file declaring as much: read, within OpenCV's limit.
    support::JpegOptions arithmetic = fewestBits;
    arithmetic.firstComponentOnly = false;
    arithmetic.arithmetic = true;
    const QByteArray tiny = support::jpegFile(cv::Mat(3072, 4096, CV_8UC3, cv::Scalar(40, 90, 160)), arithmetic);
    QVERIFY(tiny.size() < 2000);
    QTest::newRow("flat arithmetic-coded progressive jpeg of 12 MP") << tiny << cv::Mat();

    // A small file flooding a big picture: the missing data comes out flat.
    const QByteArray small = support::jpegFile(support::photoLike(96, 72, 9));
    QTest::newRow("jpeg declaring 6000 x 6000") << support::jpegDeclaring(small, 6000, 6000) << cv::Mat();
    // Beyond the pixel count OpenCV reads: with no data at all, every
    // sample is mid-gray.
    const QByteArray noData = small.left(small.indexOf(QByteArray::fromHex("ffda")) + 14);
    QTest::newRow("jpeg declaring 40000 x 30000")
        << support::jpegDeclaring(noData, 40000, 30000) << cv::Mat(30, 40, CV_8UC3, cv::Scalar::all(128));
}

void TestReader::sameAsWholeRead()
{
    QFETCH(QByteArray, bytes);
    QFETCH(cv::Mat, expected);
    const QString file = support::writeBytes(dir.filePath("picture"), bytes);
    const bool standIn = !expected.empty();   // for a picture beyond cv::imread, of one colour
    if (expected.empty())
        expected = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    QVERIFY(!expected.empty());
    MainWindow window;
    QVERIFY(window.openImage(file));
    QVERIFY(support::showsLoadOf(window, expected));
    // Each pixel the panel reads is cv::imread's (where it reads the picture
    // at all), not just near enough to scale alike.
    const cv::Mat read = sixfold::readImage(file.toStdString());
    if (!standIn)
        QVERIFY(samePanelPixels(read, expected));
    // The program decodes every plain PNG itself; libpng, one turned by an
    // eXIf chunk after its pixels (and, built with zlib's inflate, one of a
    // small window).
    const qsizetype zlib = bytes.indexOf("IDAT") + 4;
    if (bytes.startsWith("\x89PNG") && (sixfold::inflatesSmallWindows() || bytes[zlib] == 0x78))
        QCOMPARE(decodedItself(file).has_value(), !QByteArray(QTest::currentDataTag()).contains("after the pixels"));
    for (const int y : standIn ? sixfold::panelSourceRows(read.rows) : std::vector<int>())
        for (const int x : sixfold::panelSourceColumns(read.cols))
            QVERIFY(read.at<cv::Vec3b>(y, x) == expected.at<cv::Vec3b>(0, 0));
}

void TestReader::everySamplingLayout_data()
{
    QTest::addColumn<QList<QSize>>("sampling");   // of each component
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<int>("restartMcus");
    // Every layout the standard allows: 1, 3 or 4 components, each sampled
    // 1 to 4 times across and down, at most 10 blocks in an MCU. Short, so
    // that a few rows are skipped at a time from anywhere in an upsampling
    // row group, and tall, so that whole iMCU rows of up to 32 rows are; and
    // wide and thin for the block decoder, in the layouts it is made for
    // (gray, and YCbCr sampled at most twice). libjpeg refuses layouts whose
    // factors do not all divide the largest, at any size, and so must the
    // reader.
    QList<QList<QSize>> layouts = {{}};
    for (int components = 1; components <= 4; ++components) {
        QList<QList<QSize>> longer;
        for (const QList<QSize> &layout : layouts)
            for (int h = 1; h <= 4; ++h)
                for (int v = 1; v <= 4; ++v) {
                    int blocks = h * v;
                    for (const QSize &factors : layout)
                        blocks += factors.width() * factors.height();
                    if (blocks <= 10 || components == 1)
                        longer << layout + QList<QSize>{QSize(h, v)};
                }
        layouts = longer;
        for (const QList<QSize> &layout : components == 2 ? QList<QList<QSize>>() : layouts) {
            QByteArray name;
            QSize largest;
            for (const QSize &factors : layout) {
                name += QByteArray::number(factors.width()) + "x" + QByteArray::number(factors.height()) + " ";
                largest = largest.expandedTo(factors);
            }
            bool integral = true;
            for (const QSize &factors : layout)
                integral &= largest.width() % factors.width() == 0 && largest.height() % factors.height() == 0;
            const bool common = components == 1 || (components == 3 && largest.width() <= 2 && largest.height() <= 2);
            QTest::addRow("%s24x1000", name.constData()) << layout << QSize(24, 1000) << false << 0;
            if (!integral)
                continue;
            QTest::addRow("%s24x1000 progressive", name.constData()) << layout << QSize(24, 1000) << true << 0;
            QTest::addRow("%s8x9000", name.constData()) << layout << QSize(8, 9000) << false << 0;
            QTest::addRow("%s8x9000 progressive", name.constData()) << layout << QSize(8, 9000) << true << 0;
            for (const int restartMcus : common ? QList<int>{0, 7} : QList<int>()) {
                const QByteArray restarts = restartMcus ? ", a restart marker every 7 MCUs" : "";
                QTest::addRow("%s24000x4%s", name.constData(), restarts.constData())
                    << layout << QSize(24000, 4) << false << restartMcus;
                QTest::addRow("%s24000x4 progressive%s", name.constData(), restarts.constData())
                    << layout << QSize(24000, 4) << true << restartMcus;
            }
        }
    }
}

void TestReader::everySamplingLayout()
{
    QFETCH(QList<QSize>, sampling);
    QFETCH(QSize, size);
    QFETCH(bool, progressive);
    QFETCH(int, restartMcus);
    // One picture of each size and number of channels, made once.
    static std::map<std::pair<int, int>, cv::Mat> pictures;
    cv::Mat &image = pictures[{size.width() * 8 + int(sampling.size()), size.height()}];
    if (image.empty())
        image = support::withChannels(support::photoLike(size.width(), size.height(), unsigned(sampling.size())),
                                      int(sampling.size()));
    support::JpegOptions options;
    options.progressive = progressive;
    options.restartMcus = restartMcus;
    options.sampling = std::vector<QSize>(sampling.begin(), sampling.end());
    const QString file = support::writeBytes(dir.filePath("layout.jpg"), support::jpegFile(image, options));
    const cv::Mat expected = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    auto readAlike = [&] {
        const cv::Mat read = sixfold::readImage(file.toStdString());
        return expected.empty() ? read.empty() : samePanelPixels(read, expected);
    };
    QVERIFY(readAlike());
#ifdef SIXFOLD_READER_TESTING
    // Where the block decoder takes the file, libjpeg's skipping must give
    // the same; and the block decoder wherever it can decode it at all.
    using Blocks = sixfold::ReaderTesting::Blocks;
    for (const Blocks blocks : {Blocks::Never, Blocks::Always}) {
        sixfold::readerTesting.blocks = blocks;
        const bool alike = readAlike();
        sixfold::readerTesting.blocks = Blocks::Auto;
        QVERIFY(alike);
    }
#endif
}

void TestReader::progressionScripts_data()
{
    // Files of several scans, and files coded unusually, each decoded by
    // the block decoder where it is sure to give libjpeg's pixels (`taken`),
    // and by libjpeg otherwise.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("taken");
    using Scan = support::JpegOptions::Scan;
    const cv::Mat photo = support::photoLike(700, 517, 21);
    auto file = [&](std::vector<Scan> script, int restartMcus = 0, int channels = 3, QSize sampling = {2, 2}) {
        support::JpegOptions options{sampling.width(), sampling.height()};
        options.script = std::move(script);
        options.restartMcus = restartMcus;
        return support::jpegFile(support::withChannels(photo, channels), options);
    };
    // Each component's AC coefficients from `Ss` to `Se`, from bit Al up,
    // then a refinement scan for each bit below it down to `last`.
    auto ac = [](std::vector<Scan> &script, int component, int Ss, int Se, int Al, int last = 0) {
        script.push_back({{component}, Ss, Se, 0, Al});
        for (int bit = Al; bit > last; --bit)
            script.push_back({{component}, Ss, Se, bit, bit - 1});
    };
    support::JpegOptions libjpegs;
    libjpegs.progressive = true;
    QTest::newRow("libjpeg's own script") << support::jpegFile(photo, libjpegs) << true;
    QTest::newRow("libjpeg's own script, gray") << support::jpegFile(support::withChannels(photo, 1), libjpegs)
                                                << true;
    QTest::newRow("OpenCV's") << support::encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}) << true;
    libjpegs.restartMcus = 3;
    QTest::newRow("libjpeg's own script, a restart marker every 3 MCUs, cutting end-of-band runs")
        << support::jpegFile(photo, libjpegs) << true;
    std::vector<Scan> steps = {{{0, 1, 2}, 0, 0, 0, 3}};
    for (int c = 0; c < 3; ++c)
        ac(steps, c, 1, 63, 3, 1);
    for (int bit = 3; bit > 0; --bit)
        steps.push_back({{0, 1, 2}, 0, 0, bit, bit - 1});
    for (int c = 0; c < 3; ++c)
        steps.push_back({{c}, 1, 63, 1, 0});
    QTest::newRow("three refinement steps") << file(steps) << true;
    QTest::newRow("three refinement steps, a restart marker every MCU") << file(steps, 1) << true;
    QTest::newRow("three refinement steps, 4:2:2") << file(steps, 0, 3, {2, 1}) << true;
    QTest::newRow("three refinement steps, 4:4:4, a restart marker every 5 MCUs") << file(steps, 5, 3, {1, 1})
                                                                                  << true;
    std::vector<Scan> grayRefined = {{{0}, 0, 0, 0, 2}, {{0}, 0, 0, 2, 1}, {{0}, 0, 0, 1, 0}};
    ac(grayRefined, 0, 1, 9, 1);
    ac(grayRefined, 0, 10, 63, 2);
    QTest::newRow("gray, refined in steps, a restart marker every 2 blocks") << file(grayRefined, 2, 1) << true;
    std::vector<Scan> spectral = {{{0, 1, 2}, 0, 0, 0, 0}};
    for (const auto &[Ss, Se] : {std::pair{1, 2}, {3, 9}, {10, 63}})
        ac(spectral, 0, Ss, Se, 0);
    ac(spectral, 1, 1, 63, 0);
    ac(spectral, 2, 1, 63, 0);
    QTest::newRow("spectral selection alone") << file(spectral) << true;
    std::vector<Scan> approximation = {{{0, 1, 2}, 0, 0, 0, 2}, {{0, 1, 2}, 0, 0, 2, 1}, {{0, 1, 2}, 0, 0, 1, 0}};
    for (int c = 0; c < 3; ++c)
        ac(approximation, c, 1, 63, 2);
    QTest::newRow("successive approximation alone") << file(approximation) << true;
    // A later scan naming its components in another order: libjpeg takes
    // the k-th only from the frame's k-th on, so of (2, 1) and (1, 0, 2)
    // only the first; the data of each are read in the order named.
    auto reordered = [](QByteArray bytes, int scan, const QByteArray &ids) {
        qsizetype at = -1;
        for (int i = 0; i <= scan; ++i)
            at = bytes.indexOf("\xff\xda", at + 1);
        for (qsizetype k = 0; k < ids.size(); ++k)
            bytes[at + 5 + 2 * k] = ids[k];
        return bytes;
    };
    support::JpegOptions twoScans{1, 1};
    twoScans.script = {{{0}}, {{1, 2}}};
    const QByteArray twoScanFile = support::jpegFile(photo, twoScans);
    QTest::newRow("a later scan of components 2, 1") << reordered(twoScanFile, 1, "\x03\x02") << true;
    QTest::newRow("a later scan of components 2, 0, refused") << reordered(twoScanFile, 1, "\x03\x01") << false;
    QTest::newRow("a DC refinement of components 1, 0, 2, refused")
        << reordered(file(approximation), 1, "\x02\x01\x03") << false;
    std::vector<Scan> dcRefined = {{{0}, 0, 0, 0, 1}, {{1, 2}, 0, 0, 0, 1}, {{0}, 0, 0, 1, 0}, {{1, 2}, 0, 0, 1, 0}};
    for (int c = 0; c < 3; ++c)
        ac(dcRefined, c, 1, 63, 0);
    QTest::newRow("DC refined, in scans of some components") << file(dcRefined) << true;
    // libjpeg smooths blocks whose first ten coefficients lack bits: left
    // to it. Bits short beyond them are decoded as they are.
    std::vector<Scan> lowShort = {{{0, 1, 2}, 0, 0, 0, 0}};
    for (int c = 0; c < 3; ++c)
        ac(lowShort, c, 1, 63, 2, c == 0 ? 1 : 0);
    QTest::newRow("luma's last bit never sent, which libjpeg smooths") << file(lowShort) << false;
    std::vector<Scan> dcShort = {{{0, 1, 2}, 0, 0, 0, 1}};
    for (int c = 0; c < 3; ++c)
        ac(dcShort, c, 1, 63, 0);
    QTest::newRow("DC's last bit never sent") << file(dcShort) << false;
    std::vector<Scan> highShort = {{{0, 1, 2}, 0, 0, 0, 0}};
    for (int c = 0; c < 3; ++c) {
        ac(highShort, c, 1, 9, 0);
        ac(highShort, c, 10, 63, 1, c == 2 ? 1 : 0);
    }
    QTest::newRow("a chroma's last bit sent but for coefficients 10 on") << file(highShort) << true;
    QTest::newRow("sequential, a scan for each component") << file({{{0}}, {{1}}, {{2}}}) << true;
    QTest::newRow("sequential, luma, then both chroma") << file({{{0}}, {{1, 2}}}, 2) << true;
    support::JpegOptions ownTables;   // each scan's Huffman tables written just before it
    ownTables.script = {{{0}}, {{1}}, {{2}}};
    ownTables.huffman = support::JpegOptions::Huffman::Optimised;
    QTest::newRow("sequential, a scan for each component with tables of its own")
        << support::jpegFile(photo, ownTables) << true;
    ownTables.script = {{{0}}, {{1, 2}}};
    ownTables.huffman = support::JpegOptions::Huffman::Long;
    ownTables.restartMcus = 2;
    QTest::newRow("sequential, luma, then both chroma, long Huffman codes, a restart marker every 2 MCUs")
        << support::jpegFile(photo, ownTables) << true;
    for (int orientation = 2; orientation <= 8; ++orientation) {
        QTest::addRow("libjpeg's own script, turned by EXIF %d", orientation)
            << support::withExifOrientation(support::jpegFile(photo, libjpegs), orientation) << true;
        QTest::addRow("sequential, turned by EXIF %d", orientation)
            << support::withExifOrientation(support::jpegFile(photo), orientation) << true;
    }
    cv::Mat noise(301, 203, CV_8UC3);
    cv::randu(noise, 0, 256);
    support::JpegOptions sharp;
    sharp.quality = 100;
    sharp.progressive = true;
    QTest::newRow("libjpeg's own script, noise at quality 100") << support::jpegFile(noise, sharp) << true;
    // Flat but for a block of noise in every 97: libjpeg's tables for it give
    // the rare symbols codes of 11 to 13 bits, beyond a 10-bit look-up.
    cv::Mat sparse(1024, 1024, CV_8UC3, cv::Scalar::all(128));
    for (int b = 0; b < 128 * 128; b += 97)
        cv::randu(sparse(cv::Rect(b % 128 * 8, b / 128 * 8, 8, 8)), cv::Scalar::all(128 - b % 7 * 18),
                  cv::Scalar::all(129 + b % 7 * 18));
    QTest::newRow("libjpeg's own script, rare symbols in long codes") << support::jpegFile(sparse, sharp) << true;
    sharp.progressive = false;
    using Huffman = support::JpegOptions::Huffman;
    for (const auto &[huffman, name] : {std::pair{Huffman::Standard, "standard"}, {Huffman::Optimised, "optimised"},
                                        {Huffman::Long, "long"}}) {
        support::JpegOptions coded;
        coded.huffman = huffman;
        QTest::addRow("%s Huffman codes, photo", name) << support::jpegFile(photo, coded) << true;
        sharp.huffman = huffman;
        QTest::addRow("%s Huffman codes, noise at quality 100", name) << support::jpegFile(noise, sharp) << true;
        coded.restartMcus = 3;
        QTest::addRow("%s Huffman codes, gray, a restart marker every 3 MCUs", name)
            << support::jpegFile(support::withChannels(photo, 1), coded) << true;
    }

    // Gray files a block wide coded symbol by symbol, 44 blocks: the panel's
    // rows, some 12 apart, lie in about two blocks of every three, so that
    // nearly every block passed over is followed by one decoded, where a
    // wrong count of its bits shows. An AC code of each length from 1 to 16 bits, values of up
    // to 10 bits after the long ones, running past any look-up of codes.
    support::JpegSymbols symbols;
    symbols.dc = {{0, 1, 5, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
    symbols.ac = {std::vector<int>(16, 1),
                  {0x00, 0x01, 0x02, 0x11, 0x03, 0x21, 0xf0, 0x05, 0x13, 0x07, 0x32, 0x0a, 0x41, 0x09, 0x1a, 0x06}};
    std::mt19937 random(5);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    // Symbols putting a coefficient at `target` from `k` on: runs of 16
    // zeros, then of up to 4, the symbol `first` where its run fits.
    auto reach = [&](support::JpegSymbols::Block &block, int &k, int target, int first = -1) {
        while (k <= target) {
            const int run = std::min(target - k, 4);
            if (target - k >= 16) {
                block.ac.push_back({0xf0, 0});
                k += 16;
                continue;
            }
            std::vector<int> fitting;
            for (const int symbol : symbols.ac.symbols)
                if (symbol != 0xf0 && symbol & 15 && symbol >> 4 == run)
                    fitting.push_back(symbol);
            const int symbol = first >= 0 && first >> 4 <= run ? first : fitting[size_t(pick(int(fitting.size())))];
            first = -1;
            const int size = symbol & 15, magnitude = (1 << (size - 1)) + pick(1 << (size - 1));
            block.ac.push_back({symbol, pick(2) ? magnitude : -magnitude});
            k += (symbol >> 4) + 1;
        }
    };
    // Block `b`, ending as b % 4 says: at an end of block, at coefficient
    // 63, at 16 zeros then an end of block, at 16 zeros up to coefficient
    // 63. The first blocks begin with each symbol in turn.
    auto randomBlock = [&](int b) {
        support::JpegSymbols::Block block{pick(7) - 3, {}};
        int k = 1;
        const int first = b < 15 ? symbols.ac.symbols[size_t(b) + 1] : -1;
        if (first != 0xf0)
            reach(block, k, k + pick(3), first);
        for (int n = pick(3); n > 0 && k < 30; --n)
            reach(block, k, k + pick(8));
        if (b % 4 == 1)
            reach(block, k, 63);
        if (b % 4 == 3)
            reach(block, k, 47);
        if (b % 4 >= 2)
            block.ac.push_back({0xf0, 0});
        if (b % 4 != 1 && b % 4 != 3)
            block.ac.push_back({0x00, 0});
        return block;
    };
    // Each interval's last block, and the last, ending on a byte's last bit
    // where `aligned`.
    auto symbolFile = [&](int restartBlocks, bool aligned) {
        symbols.blocks.clear();
        symbols.restartBlocks = restartBlocks;
        for (int b = 0, bits = 0; b < 44; ++b) {
            const bool last = b == 43 || (restartBlocks && b % restartBlocks == restartBlocks - 1);
            support::JpegSymbols::Block block = randomBlock(b);
            while (aligned && last && (bits + symbols.bits(block)) % 8)
                block = randomBlock(b);
            symbols.blocks.push_back(block);
            bits = last ? 0 : bits + symbols.bits(block);
        }
        return support::jpegOfSymbols(symbols);
    };
    QTest::newRow("AC codes of every length, 1 to 16 bits, blocks ending at 63 and with 16 zeros before their end")
        << symbolFile(0, true) << true;
    QTest::newRow("the same, a restart marker every 2 blocks, each interval ending on a byte's last bit")
        << symbolFile(2, true) << true;
    QTest::newRow("the same, intervals of 3 ending anywhere in a byte") << symbolFile(3, false) << true;
    symbols.dc = {{1}, {0}};
    symbols.ac = {{1}, {0x00}};
    symbols.blocks.assign(44, {0, {{0x00, 0}}});
    QTest::newRow("tables of a single code each") << support::jpegOfSymbols(symbols) << true;

    // Files changed by hand, as no encoder writes them. Where scan `n`
    // starts, and where its data end (at the next marker but a restart).
    auto scanStart = [](const QByteArray &bytes, int n) {
        qsizetype at = -1;
        for (int i = 0; i <= n; ++i)
            at = bytes.indexOf("\xff\xda", at + 1);
        return at;
    };
    auto scanEnd = [](const QByteArray &bytes, qsizetype at) {
        qsizetype end = at + 2 + (uchar(bytes[at + 2]) << 8 | uchar(bytes[at + 3]));
        while (uchar(bytes[end]) != 0xff || uchar(bytes[end + 1]) == 0 || (uchar(bytes[end + 1]) & 0xf8) == 0xd0)
            ++end;
        return end;
    };
    const QByteArray stepped = file(steps);
    QByteArray offByOne = stepped;   // the scan refining luma from bit 3 to 2 says 2 to 1
    offByOne[scanStart(offByOne, 4) + 9] = 0x21;
    QTest::newRow("a refinement scan a bit off, which libjpeg warns of") << offByOne << false;
    support::JpegOptions acOnly;
    acOnly.script = spectral;
    acOnly.withoutDcScans = true;
    QTest::newRow("AC scans alone, which libjpeg warns of and decodes, DC left at zero")
        << support::jpegFile(photo, acOnly) << true;
    // Flat, as a few bytes of scans can declare a big picture: end-of-band
    // runs passed over in one step, scans whose data end where libjpeg reads
    // no further.
    for (const int components : {1, 3}) {
        QTest::addRow("flat, AC scans alone, %d components", components)
            << support::flatProgressive(1100, 900, components, true, true) << true;
        QTest::addRow("flat, a scan for each bit of each coefficient, %d components", components)
            << support::flatProgressive(600, 400, components, false, true) << true;
        QTest::addRow("flat, a scan for each bit of each coefficient, without data, %d components", components)
            << support::flatProgressive(600, 400, components, false, false) << true;
    }
    QByteArray twice = file(spectral);   // the luma's first band again from its first bit
    const qsizetype band = scanStart(twice, 1);
    twice.insert(band, twice.mid(band, scanEnd(twice, band) - band));
    QTest::newRow("a band sent again, which libjpeg takes without a word") << twice << false;
    QByteArray tables = stepped;
    const qsizetype dqt = tables.indexOf("\xff\xdb");
    tables.insert(scanStart(tables, 1), tables.mid(dqt, 2 + (uchar(tables[dqt + 2]) << 8 | uchar(tables[dqt + 3]))));
    QTest::newRow("quantisation tables again after the first scan") << tables << false;
    QTest::newRow("bytes after the end marker, which libjpeg never reads") << stepped + QByteArray(300, '\xa5')
                                                                           << true;
    QTest::newRow("bytes between scans, which libjpeg passes over") << QByteArray(stepped).insert(scanStart(stepped, 3), "\x12\x34")
                                                                 << true;
    QByteArray restarts = file(steps, 1);   // a marker taken out of the fourth scan
    restarts.remove(restarts.indexOf("\xff\xd3", scanStart(restarts, 3)), 2);
    QTest::newRow("a restart marker missing, which libjpeg resynchronises at") << restarts << false;
    const qsizetype fourth = scanStart(stepped, 3);
    const qsizetype fourthData = fourth + 2 + (uchar(stepped[fourth + 2]) << 8 | uchar(stepped[fourth + 3]));
    QTest::newRow("cut halfway through the fourth scan's data")
        << stepped.left((fourthData + scanEnd(stepped, fourth)) / 2) << false;
    QTest::newRow("cut before the last scan") << stepped.left(scanStart(stepped, 15)) << false;
    const QByteArray sequential = file({{{0, 1, 2}}});
    QTest::newRow("sequential, cut halfway through its data") << sequential.left(sequential.size() / 2) << false;
    QByteArray filled = file(steps, 1);   // a fill byte before a restart marker of the fourth scan
    filled.insert(filled.indexOf("\xff\xd3", scanStart(filled, 3)), '\xff');
    QTest::newRow("a fill byte before a restart marker, which libjpeg reads by how much data it holds")
        << filled << false;
    QByteArray commented = stepped;   // a comment amid the fourth scan's data
    commented.insert((fourthData + scanEnd(stepped, fourth)) / 2, QByteArray("\xff\xfe\x00\x04" "ab", 6));
    QTest::newRow("a comment amid a scan's data") << commented << false;

    // Kinds of JPEG the block decoder is not made for.
    support::JpegOptions other;
    other.arithmetic = true;
    QTest::newRow("arithmetic-coded, sequential") << support::jpegFile(photo, other) << false;
    other.progressive = true;
    QTest::newRow("arithmetic-coded, progressive") << support::jpegFile(photo, other) << false;
    other.arithmetic = false;
    QTest::newRow("CMYK, progressive") << support::jpegFile(support::withChannels(photo, 4), other) << false;
    other.ycck = true;
    QTest::newRow("YCCK, progressive") << support::jpegFile(support::withChannels(photo, 4), other) << false;
}

void TestReader::progressionScripts()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, taken);
    const QString file = support::writeBytes(dir.filePath("scans.jpg"), bytes);
    const cv::Mat expected = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    if (expected.empty()) {   // as libjpeg refuses it
        QVERIFY(sixfold::readImage(file.toStdString()).empty());
        return;
    }
    QVERIFY(samePanelPixels(sixfold::readImage(file.toStdString()), expected));
#ifdef SIXFOLD_READER_TESTING
    // The panel of a small picture, of which only some blocks are read.
    using Blocks = sixfold::ReaderTesting::Blocks;
    for (const Blocks blocks : {Blocks::Never, Blocks::Always}) {
        sixfold::readerTesting = {37, 29, blocks};
        const cv::Mat read = sixfold::readImage(file.toStdString());
        const bool decoded = sixfold::readerTesting.blockDecoded;
        sixfold::readerTesting = {};
        QVERIFY(samePanelPixels(read, expected, {37, 29}));
        QCOMPARE(decoded, blocks == Blocks::Always && taken);
    }
#endif
}

void TestReader::scanHeadersWalked_data()
{
    // What the walk of a file's markers tells the block decoder: the scans
    // in order, where the data of the first begin, and whether every marker
    // is one it can go by.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("scans");   // each: Ss-Se Ah/Al and the components' indexes
    QTest::addColumn<bool>("plain");
    support::JpegOptions options;
    options.script = {{{0, 1, 2}, 0, 0, 0, 1}, {{2}, 1, 63, 0, 0}, {{0, 1, 2}, 0, 0, 1, 0}, {{0}, 1, 63, 0, 0},
                      {{1}, 1, 63, 0, 0}};
    options.restartMcus = 1;
    const QByteArray file = support::jpegFile(support::photoLike(48, 40, 3), options);
    const QString script = "0-0 0/1 012, 1-63 0/0 2, 0-0 1/0 012, 1-63 0/0 0, 1-63 0/0 1";
    QTest::newRow("five scans, restart markers in their data") << file << script << true;
    const qsizetype second = file.indexOf("\xff\xda", file.indexOf("\xff\xda") + 1);
    QTest::newRow("fill bytes and a comment between scans")
        << QByteArray(file).insert(second, QByteArray("\xff\xff\xff\xfe\x00\x04" "ab", 8)) << script << true;
    QTest::newRow("a second frame header") << QByteArray(file).insert(second, file.mid(file.indexOf("\xff\xc2"), 19))
                                           << script << false;
    QTest::newRow("an unknown marker") << QByteArray(file).insert(second, QByteArray("\xff\xf0\x00\x02", 4)) << script
                                       << false;
    QTest::newRow("cut inside the third scan's header")
        << file.left(file.indexOf("\xff\xda", second + 1) + 6) << "0-0 0/1 012, 1-63 0/0 2" << false;
}

void TestReader::scanHeadersWalked()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, scans);
    QFETCH(bool, plain);
    const QString path = support::writeBytes(dir.filePath("walked.jpg"), bytes);
    support::LibjpegHeader header(path.toLocal8Bit().constData());
    QVERIFY(header.file);
    sixfold::FileWindow window(header.file);
    const sixfold::JpegScript script = sixfold::jpegScript(header.info, window);
    QStringList walked;
    for (const sixfold::JpegScan &scan : script.scans) {
        QString components;
        for (int k = 0; k < scan.count; ++k)
            components += QString::number(scan.component[k]);
        walked << QString("%1-%2 %3/%4 %5").arg(scan.Ss).arg(scan.Se).arg(scan.Ah).arg(scan.Al).arg(components);
    }
    const qsizetype sos = bytes.indexOf("\xff\xda"), data = sos + 2 + (uchar(bytes[sos + 2]) << 8 | uchar(bytes[sos + 3]));
    QCOMPARE(walked.join(", "), scans);
    QCOMPARE(script.scans.front().data, double(data));
    QCOMPARE(script.plain, plain);
}

void TestReader::pngLeftToLibpng_data()
{
    // A file, and whether the program decodes it itself: where libpng could
    // read it otherwise, it leaves it to libpng, which gives what cv::imread
    // gives, picture or none.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("itself");
    const int w = 61, h = 43;
    const cv::Mat photo = support::photoLike(w, h);
    const QByteArray rgb(reinterpret_cast<const char *>(photo.data), qsizetype(photo.total() * 3));
    const QByteArray rows = support::pngFiltered(w, h, 8, 2, rgb), head = support::pngHeader(w, h);
    const QByteArray zlib = qCompress(rows).mid(4), end = support::pngChunk("IEND", {});
    const QByteArray text = support::pngChunk("tEXt", QByteArray("Comment\0a", 9)), data = support::pngChunk("IDAT", zlib);
    auto idat = [](const QByteArray &z) { return support::pngChunk("IDAT", z); };
    auto png = [&](const QByteArray &z) { return head + idat(z) + end; };
    auto damaged = [](QByteArray bytes, qsizetype at) { bytes[at] = char(bytes[at] ^ 0x10); return bytes; };
    QByteArray pieces;
    for (qsizetype i = 0; i < zlib.size(); i += 7)
        pieces += idat(zlib.mid(i, 7)) + (i % 21 ? QByteArray() : idat({}));
    QTest::newRow("image data in chunks of seven bytes, some empty") << head + idat({}) + pieces + idat({}) + end << true;
    QTest::newRow("ancillary chunks before and after the pixels, one unknown")
        << head + text + support::pngChunk("pHYs", QByteArray(9, 1)) + data + support::pngChunk("zzZz", "any") + text
               + end << true;
    QTest::newRow("stored blocks") << png(qCompress(rows, 0).mid(4)) << true;
    QTest::newRow("fixed codes") << support::pngHeader(1, 1, 8, 0) + idat(qCompress(QByteArray("\0\x80", 2), 9).mid(4)) + end << true;
    const QByteArray gray = support::pngHeader(40, 30, 8, 0);
    QTest::newRow("a whole Huffman code of two symbols") << gray + idat(support::zlibOfZeros(41 * 30, true)) + end << true;
    QTest::newRow("an incomplete Huffman code, as zlib refuses and ISA-L's inflate takes")
        << gray + idat(support::zlibOfZeros(41 * 30, false)) + end << false;
    QTest::newRow("a CRC error in the header") << damaged(head + data + end, 29) << false;
    QTest::newRow("a CRC error in an ancillary chunk, which libpng forgives")
        << head + damaged(text, text.size() - 1) + data + end << false;
    QTest::newRow("a CRC error in the image data") << head + damaged(data, data.size() - 2) + end << false;
    QTest::newRow("a CRC error in IEND") << head + data + damaged(end, 9) << false;
    QTest::newRow("a zlib header of a 16 KB window") << png(QByteArray::fromHex("685f") + zlib.mid(2)) << false;
    QTest::newRow("a zlib header asking for a preset dictionary")
        << png(QByteArray::fromHex("78bb00000001") + zlib.mid(2)) << false;
    QTest::newRow("a zlib header failing its check") << png(QByteArray::fromHex("789d") + zlib.mid(2)) << false;
    QTest::newRow("a deflate block of the reserved type") << png(QByteArray::fromHex("7801") + char(7) + zlib.mid(3))
                                                          << false;
    QTest::newRow("an Adler-32 that does not match") << png(damaged(zlib, zlib.size() - 1)) << false;
    QTest::newRow("a stream cut short") << png(zlib.left(zlib.size() / 2)) << false;
    QTest::newRow("a stream of a row too few") << png(qCompress(rows.left(rows.size() - 3 * w - 1)).mid(4)) << false;
    QTest::newRow("a stream of a row too many") << png(qCompress(rows + rows.left(3 * w + 1)).mid(4)) << false;
    QTest::newRow("bytes after the stream") << png(zlib + "xy") << false;
    QTest::newRow("image data after the stream") << head + data + idat("xy") + end << false;
    QTest::newRow("image data after another chunk") << head + idat(zlib.left(9)) + text + idat(zlib.mid(9)) + end
                                                    << false;
    QTest::newRow("a filter of no kind") << png(qCompress(QByteArray(1, 5) + rows.mid(1)).mid(4)) << false;
    QTest::newRow("an unknown critical chunk") << head + support::pngChunk("ZzZz", "x") + data + end << false;
    QTest::newRow("a chunk's reserved letter in lower case") << head + support::pngChunk("zzzz", "x") + data + end
                                                             << false;
    QTest::newRow("an APNG control chunk") << head + support::pngChunk("acTL", QByteArray(8, 0)) + data + end << false;
    QTest::newRow("two eXIf chunks") << head + support::pngChunk("eXIf", exifBlock(6)).repeated(2) + data + end
                                     << false;
    QTest::newRow("eXIf after the pixels") << head + data + support::pngChunk("eXIf", exifBlock(6)) + end << false;
    QTest::newRow("data in IEND") << head + data + support::pngChunk("IEND", "x") << false;
    // A palette of three entries, one index beyond them; and tRNS before it.
    const QByteArray indices = support::pngFiltered(4, 4, 8, 3, QByteArray::fromHex("00010200010201020102000102000103"));
    const QByteArray three = support::pngChunk("PLTE", QByteArray::fromHex("ff000000ff000000ff"));
    QTest::newRow("a palette index without an entry")
        << support::pngHeader(4, 4, 8, 3) + three + idat(qCompress(indices).mid(4)) + end << false;
    const QByteArray inRange = indices.left(indices.size() - 1) + char(indices.back() - 1);
    QTest::newRow("a palette of fewer entries than indices, all used in range")
        << support::pngHeader(4, 4, 8, 3) + three + idat(qCompress(inRange).mid(4)) + end << true;
    QTest::newRow("tRNS before the palette")
        << support::pngHeader(4, 4, 8, 3) + support::pngChunk("tRNS", "a") + three + idat(qCompress(inRange).mid(4))
               + end << false;
    QTest::newRow("a palette after the pixels")
        << support::pngHeader(4, 4, 8, 3) + three + idat(qCompress(inRange).mid(4)) + three + end << false;
    // Cut at every byte near each chunk's start: in the length, name, data
    // or CRC of the chunk before or after.
    const QByteArray whole = head + text + idat(zlib.left(100)) + idat(zlib.mid(100)) + end;
    for (qsizetype start = 8; start < whole.size(); start += 12 + qsizetype(qFromBigEndian<quint32>(whole.constData() + start)))
        for (qsizetype at = std::max<qsizetype>(start - 5, 9); at < std::min(start + 10, whole.size()); ++at)
            QTest::addRow("cut at byte %lld", qlonglong(at)) << whole.left(at) << false;
}

void TestReader::pngLeftToLibpng()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, itself);
    const QString file = support::writeBytes(dir.filePath("chunks.png"), bytes);
    const cv::Mat expected = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    const cv::Mat read = sixfold::readImage(file.toStdString());
    QCOMPARE(read.empty(), expected.empty());
    QVERIFY(expected.empty() || samePanelPixels(read, expected));
    const std::optional<cv::Mat> own = decodedItself(file);
    QCOMPARE(own.has_value(), itself);
    QVERIFY(!own || samePanelPixels(*own, expected));
}

void TestReader::paethRowsSideBySide_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("colour");
    QTest::addColumn<int>("width");
    // Rows a few pixels wide, where a step's first and last pixels are
    // those of different rows, and wider.
    const struct { int depth, colour; } kinds[] = {{8, 0}, {8, 4}, {8, 2}, {8, 6}, {16, 2}, {16, 6}};
    for (const auto &kind : kinds)
        for (const int width : {1, 2, 3, 5, 17})
            QTest::addRow("%d-bit, colour type %d, %d wide", kind.depth, kind.colour, width)
                << kind.depth << kind.colour << width;
}

void TestReader::paethRowsSideBySide()
{
    // Four rows of Paeth, unfiltered four and two at a time, must be the
    // rows they were made of.
    QFETCH(int, depth);
    QFETCH(int, colour);
    QFETCH(int, width);
    const sixfold::PngFormat format{width, 4, depth, colour};
    const size_t bytes = format.rowBytes(width), rawBytes = bytes + 1;
    const int pixelBytes = format.bitsPerPixel() / 8;
    QByteArray samples(qsizetype(4 * bytes), '\0');
    std::mt19937 random(unsigned(width * 100 + depth + colour));
    for (char &c : samples)
        c = char(random());
    // A pixel is read as four bytes, past a row's end too, as the rows in
    // the inflater's window allow.
    const QByteArray raw = support::pngFiltered(width, 4, depth, colour, samples, false, 4) + QByteArray(16, '\0');
    const auto from = reinterpret_cast<const unsigned char *>(raw.constData());
    std::vector<unsigned char> zeros(bytes + 16), made(4 * (bytes + 16), 0x55);
    unsigned char *const rows[4] = {&made[0], &made[bytes + 16], &made[2 * (bytes + 16)], &made[3 * (bytes + 16)]};
    auto same = [&] {
        for (int k = 0; k < 4; ++k)
            if (std::memcmp(rows[k], samples.constData() + k * qsizetype(bytes), bytes))
                return false;
        return true;
    };
    if (sixfold::unfilterPaethQuad(from, rawBytes, zeros.data(), rows, pixelBytes))
        QVERIFY(same());
    std::fill(made.begin(), made.end(), 0x55);
    sixfold::unfilterPaethPair(from, from + rawBytes, zeros.data(), rows[0], rows[1], bytes, pixelBytes);
    sixfold::unfilterPaethPair(from + 2 * rawBytes, from + 3 * rawBytes, rows[1], rows[2], rows[3], bytes, pixelBytes);
    QVERIFY(same());
}

void TestReader::exifOrientationAsOpenCv_data()
{
    // The segments of a JPEG, or the eXIf chunks of a PNG, of a tiny picture
    // whose orientation OpenCV's reading tells.
    QTest::addColumn<std::vector<QByteArray>>("blocks");
    QTest::addColumn<bool>("png");
    QTest::addColumn<bool>("afterPixels");
    // Rows whose outcome depends on the OpenCV built against say so.
    const char *const unproven = sixfold::exifAsOpenCvReadsIt() ? "" : ", left to OpenCV " CV_VERSION;
    auto jpeg = [unproven](const char *name, const std::vector<QByteArray> &blocks) {
        QTest::addRow("%s%s", name, unproven) << blocks << false << false;
    };
    const support::ExifEntry unit{0x0128, 3, 1, 2}, subdirectory{0x8769, 4, 1, 26}, unknown{0x9999, 7, 40, 4000};
    for (const bool intel : {true, false}) {
        const char *order = intel ? "II" : "MM";
        for (const quint32 value : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 0x106u, 0xffffu})
            jpeg(qPrintable(QString("%1 orientation %2").arg(order).arg(value)),
                 {exifHeader + exifBlock(intel, {{0x0112, 3, 1, value}})});
        for (int k = 0; k < 4; ++k) {
            std::vector<support::ExifEntry> entries = {unit, subdirectory, unknown};
            entries.insert(entries.begin() + k, {0x0112, 3, 1, 6});
            jpeg(qPrintable(QString("%1 orientation entry %2 of 4").arg(order).arg(k + 1)), {exifHeader + exifBlock(intel, entries)});
        }
        for (const support::ExifEntry &odd : {support::ExifEntry{0x0112, 4, 1, 6}, {0x0112, 1, 1, 6}, {0x0112, 3, 0, 6},
                                            {0x0112, 3, 9, 6}})
            jpeg(qPrintable(QString("%1 orientation of type %2, count %3").arg(order).arg(odd.type).arg(odd.count)),
                 {exifHeader + exifBlock(intel, {odd})});
        jpeg(qPrintable(QString("%1 two orientation entries").arg(order)),
             {exifHeader + exifBlock(intel, {{0x0112, 3, 1, 3}, {0x0112, 3, 1, 6}})});
        for (const quint32 directory : {0u, 25u, 26u, 2000u, 0xffffffffu})
            jpeg(qPrintable(QString("%1 directory at %2").arg(order).arg(directory)),
                 {exifHeader + exifBlock(intel, {{0x0112, 3, 1, 6}}, directory)});
        const QByteArray whole = exifHeader + exifBlock(intel, {{0x0112, 3, 1, 6}});
        for (int length = 0; length < whole.size(); ++length)
            jpeg(qPrintable(QString("%1 cut to %2 bytes").arg(order).arg(length)), {whole.left(length)});
        // Entries OpenCV reads before the orientation: where their data lie
        // outside the block, reading stops.
        const struct { const char *name; support::ExifEntry entry; } before[] = {
            {"a string inside", {0x010f, 2, 4, 0x41424300}}, {"a string outside", {0x010f, 2, 20, 2000}},
            {"a long string at its end", {0x0131, 2, 6, 42}}, {"a resolution inside", {0x011a, 5, 1, 8}},
            {"a resolution outside", {0x011a, 5, 1, 2000}}, {"a white point half outside", {0x013e, 5, 2, 44}},
            {"chromaticities outside", {0x013f, 5, 6, 20}}, {"reference levels inside", {0x0214, 5, 6, 0}},
            {"coefficients outside", {0x0211, 5, 3, 31}}, {"a positioning", {0x0213, 3, 1, 1}}};
        for (const auto &[name, entry] : before) {
            const QByteArray block = exifBlock(intel, {entry, {0x0112, 3, 1, 6}}) + QByteArray(16, '\x7f');
            jpeg(qPrintable(QString("%1 %2 before it").arg(order, name)), {exifHeader + block});
            if (!intel)
                QTest::addRow("png, %s before it%s", name, unproven) << std::vector<QByteArray>{block} << true << false;
        }
    }
    QByteArray marks = exifBlock(false, {{0x0112, 3, 1, 6}});
    for (const char *mark : {"IM", "NN"}) {
        marks.replace(0, 2, mark);
        jpeg(qPrintable(QString("byte order mark %1").arg(mark)), {exifHeader + marks});
    }
    QByteArray mark = exifBlock(true, {{0x0112, 3, 1, 6}});
    mark[2] = 0x2b;
    jpeg("tag mark 0x2b", {exifHeader + mark});
    jpeg("a block of one byte", {exifHeader + "I"});
    const QByteArray six = exifHeader + exifBlock(true, {{0x0112, 3, 1, 6}}), three = exifHeader + exifBlock(true, {{0x0112, 3, 1, 3}});
    jpeg("no segment", {});
    jpeg("an XMP segment, then EXIF", {QByteArray("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"), six});
    jpeg("two EXIF segments", {three, six});
    jpeg("a segment of the header alone", {exifHeader});
    jpeg("EXIF without its header name", {"Abcdef" + exifBlock(true, {{0x0112, 3, 1, 6}})});
    for (const quint32 value : {1u, 3u, 6u, 8u, 9u}) {
        const QByteArray block = exifBlock(false, {{0x0112, 3, 1, value}});
        QTest::addRow("png orientation %u%s", value, unproven) << std::vector<QByteArray>{block} << true << false;
        QTest::addRow("png orientation %u after the pixels%s", value, unproven)
            << std::vector<QByteArray>{block} << true << true;
    }
}

void TestReader::exifOrientationAsOpenCv()
{
    QFETCH(std::vector<QByteArray>, blocks);
    QFETCH(bool, png);
    QFETCH(bool, afterPixels);
    const int orientation = support::probeOrientation(blocks, png, afterPixels);
    QVERIFY(orientation);
    const QString file = support::writeBytes(dir.filePath("probe"), support::probeFile(blocks, png, afterPixels));
    // Read by the reader itself, turned as OpenCV turns it; only a PNG
    // turned by an eXIf chunk after its pixels is left to cv::imread. Built
    // with an OpenCV whose reading is not proven, the reader is unsure of
    // every EXIF block and leaves them all to OpenCV.
    const std::optional<cv::Mat> read = sixfold::readPanelRows(file.toStdString(), 1e9);
    if (sixfold::exifAsOpenCvReadsIt())
        QCOMPARE(read.has_value(), !afterPixels || orientation == 1);
    QVERIFY(!read || support::samePixels(*read, cv::imread(file.toStdString(), cv::IMREAD_COLOR)));
}

void TestReader::refusesWhatWouldNotFit_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<double>("limitMb");
    QTest::addColumn<bool>("loads");
    // 800 x 600 pixels take 1.37 MB decoded, of which the panel's rows take
    // 0.88 MB, and the decoder's own buffers about 0.1 MB more. A load
    // holds a few MB beside them (the views); OpenCV's codecs take 10 MB
    // more the first time, libheif some 12.5 bytes a pixel.
    const cv::Mat photo = support::photoLike(800, 600);
    const QByteArray bmp = support::encoded(".bmp", photo), jpeg = support::encoded(".jpg", photo);
    const QByteArray png = support::encoded(".png", photo);
    QTest::newRow("bmp beyond the limit") << bmp << 1.3 << false;
    QTest::newRow("bmp, room for it and 10 MB, not for the codecs and the views") << bmp << 11.4 << false;
    QTest::newRow("bmp within it") << bmp << 26.0 << true;
    QTest::newRow("ppm, room for it and 3 MB, as a picture once let through") << support::encoded(".ppm", photo)
                                                                              << 4.4 << false;
    // OpenCV reads a TIFF strip into an RGBA buffer first: 1.8 MB more.
    const QByteArray tiff = support::encoded(".tiff", photo);
    QTest::newRow("tiff beyond the limit") << tiff << 1.3 << false;
    QTest::newRow("tiff, room for a bmp of its size, not for its strip") << tiff << 26.0 << false;
    QTest::newRow("tiff within it") << tiff << 28.0 << true;
    QTest::newRow("webp beyond the limit") << support::encoded(".webp", photo, {cv::IMWRITE_WEBP_QUALITY, 90}) << 1.3
                                           << false;
    QTest::newRow("jpeg rows beyond the limit") << jpeg << 0.85 << false;
    QTest::newRow("jpeg rows within it, not with the views") << jpeg << 3.1 << false;
    QTest::newRow("jpeg rows within it, the picture not") << jpeg << 9.1 << true;
    // libjpeg would hold every coefficient of a progressive file (1.4 MB
    // here) beside the rows; the block decoder holds a row of blocks.
    const QByteArray progressive = support::encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    QTest::newRow("progressive jpeg rows beyond the limit") << progressive << 8.85 << false;
    QTest::newRow("progressive jpeg rows within it, with its coefficients not") << progressive << 9.5 << true;
    support::JpegOptions perComponent;
    perComponent.script = {{{0}}, {{1}}, {{2}}};
    const QByteArray scans = support::jpegFile(photo, perComponent);
    QTest::newRow("jpeg of a scan a component, rows beyond the limit") << scans << 8.85 << false;
    QTest::newRow("jpeg of a scan a component, rows within it") << scans << 9.5 << true;
    QTest::newRow("png rows beyond the limit") << png << 8.85 << false;
    // Turned a quarter, an interlaced picture keeps whole stored rows for
    // the panel's columns, libpng's way: 513 of 2000 pixels, 3.1 MB, where
    // the rows take only 0.7 MB. The program's own decoder keeps only their
    // pixels the panel reads, 0.6 MB; libpng reads the file where a chunk's
    // CRC is wrong.
    const QByteArray interlaced = support::pngWritten(2000, 600, 8, 0, QByteArray(2000 * 600, '\x40'), true);
    const QByteArray turned = interlaced.left(33) + support::pngChunk("eXIf", support::exifBlock(6));
    QByteArray badCrc = support::pngChunk("tEXt", "Comment\0x");
    badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 1);
    QTest::newRow("png interlaced and turned, read by libpng, its kept rows beyond the limit")
        << turned + badCrc + interlaced.mid(33) << 10.0 << false;
    QTest::newRow("png interlaced and turned, read by the program, within it") << turned + interlaced.mid(33) << 10.0
                                                                               << true;
    // libheif decodes to planes, then RGB, copied to blue-green-red.
    const QString heic = support::writeHeic(dir.filePath("limit.heic"), photo);
    QFile heicFile(heic);
    const QByteArray heicBytes = heicFile.open(QIODevice::ReadOnly) ? heicFile.readAll() : QByteArray();
    QTest::newRow("heic beyond the limit") << heicBytes << 1.3 << false;
    QTest::newRow("heic, room for what libheif takes, not with the views") << heicBytes << 12.0 << false;
    QTest::newRow("heic within it") << heicBytes << 16.0 << true;
}

void TestReader::refusesWhatWouldNotFit()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, limitMb);
    QFETCH(bool, loads);
    if (bytes.isEmpty())
        QSKIP("libheif has no encoder here to make the file");
    const QString file = support::writeBytes(dir.filePath("limit"), bytes);
    // The limit of a v1 control group the program was just moved into: none
    // of it used yet.
    const QTemporaryDir root;
    support::writeBytes(root.filePath("proc/self/cgroup"), "4:memory:/app\n");
    support::writeBytes(root.filePath("sys/fs/cgroup/memory/app/memory.limit_in_bytes"),
                        QByteArray::number(qint64(limitMb * 1048576)));
    const double available = sixfold::availableMemory(root.path().toStdString());
    QCOMPARE(!sixfold::readImage(file.toStdString(), available).empty(), loads);
}

void TestReader::followsOpenCvSizeLimit_data()
{
    // A 64 x 64 arithmetic-coded JPEG, whose size no data bound: read
    // where cv::imread reads it, as OpenCV reads its environment.
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");   // null: unset
    QTest::addColumn<bool>("loads");
    QTest::newRow("no limit set") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray() << true;
    QTest::newRow("pixels set below it") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray("4095") << false;
    QTest::newRow("pixels set to it exactly") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray("4096") << true;
    QTest::newRow("pixels set to it in kilobytes, in mixed case") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS")
                                                                  << QByteArray("4Kb") << true;
    QTest::newRow("pixels set to it in kilobytes") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray("4kb")
                                                   << true;
    QTest::newRow("pixels set to what OpenCV cannot read") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS")
                                                           << QByteArray("4 KB") << false;
    QTest::newRow("width set below it") << QByteArray("OPENCV_IO_MAX_IMAGE_WIDTH") << QByteArray("63") << false;
    QTest::newRow("height set below it") << QByteArray("OPENCV_IO_MAX_IMAGE_HEIGHT") << QByteArray("63") << false;
    QTest::newRow("pixels set in megabytes") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray("1MB") << true;
    QTest::newRow("pixels set empty, which OpenCV cannot read") << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS")
                                                                << QByteArray("") << false;
    QTest::newRow("pixels set beyond 64 bits, which OpenCV cannot read")
        << QByteArray("OPENCV_IO_MAX_IMAGE_PIXELS") << QByteArray("99999999999999999999") << false;
}

void TestReader::followsOpenCvSizeLimit()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(bool, loads);
    support::JpegOptions arithmetic;
    arithmetic.arithmetic = true;
    const QString file =
        support::writeBytes(dir.filePath("limited.jpg"), support::jpegFile(support::photoLike(64, 64), arithmetic));
    if (!value.isNull())
        qputenv(variable.constData(), value);
    const bool loaded = !sixfold::readImage(file.toStdString()).empty();
    qunsetenv(variable.constData());
    QCOMPARE(loaded, loads);
}

void TestReader::memoryLeftToTheProgram_data()
{
    // The files of a simulated system, as path=content; MemAvailable is
    // 4000 MB.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<double>("megabytes");
    const QString meminfo = "proc/meminfo=MemTotal: 8192000 kB\nMemAvailable: 4096000 kB\n";
    const QString v2 = "proc/self/cgroup=0::/user/app\n", group = "sys/fs/cgroup/user/app/";
    QTest::newRow("no control group") << QStringList{meminfo} << 4000.0;
    QTest::newRow("v2, 300 MB allowed, 100 MB used")
        << QStringList{meminfo, v2, group + "memory.max=314572800", group + "memory.current=104857600"} << 200.0;
    QTest::newRow("v2 without a limit") << QStringList{meminfo, v2, group + "memory.max=max"} << 4000.0;
    QTest::newRow("v2, the group above allowing less")
        << QStringList{meminfo, v2, group + "memory.max=max", "sys/fs/cgroup/user/memory.max=52428800",
                       "sys/fs/cgroup/user/memory.current=10485760"} << 40.0;
    QTest::newRow("v2, used beyond its limit")
        << QStringList{meminfo, v2, group + "memory.max=1048576", group + "memory.current=2097152"} << 0.0;
    QTest::newRow("v1, memory among other controllers")
        << QStringList{meminfo, "proc/self/cgroup=4:cpu,memory:/app\n",
                       "sys/fs/cgroup/memory/app/memory.limit_in_bytes=209715200",
                       "sys/fs/cgroup/memory/app/memory.usage_in_bytes=104857600"} << 100.0;
    QTest::newRow("v1 memory hierarchy")
        << QStringList{meminfo, "proc/self/cgroup=5:cpu:/x\n4:memory:/app\n",
                       "sys/fs/cgroup/memory/app/memory.limit_in_bytes=209715200",
                       "sys/fs/cgroup/memory/app/memory.usage_in_bytes=104857600"} << 100.0;
    // A group at its limit of 4 GB: page cache the kernel takes back at once
    // is no use; anonymous memory and cache still in use are.
    const QString full = group + "memory.max=4294967296", fullUse = group + "memory.current=4294967296";
    QTest::newRow("v2 at its limit, 3 GB of it inactive file cache")
        << QStringList{meminfo, v2, full, fullUse, group + "memory.stat=anon 1073741824\ninactive_file 3221225472\n"}
        << 3072.0;
    QTest::newRow("v2 at its limit, all of it anonymous or active")
        << QStringList{meminfo, v2, full, fullUse, group + "memory.stat=anon 3221225472\nactive_file 1073741824\n"}
        << 0.0;
    QTest::newRow("v1 at its limit, 3 GB of it inactive file cache")
        << QStringList{meminfo, "proc/self/cgroup=4:memory:/app\n",
                       "sys/fs/cgroup/memory/app/memory.limit_in_bytes=4294967296",
                       "sys/fs/cgroup/memory/app/memory.usage_in_bytes=4294967296",
                       "sys/fs/cgroup/memory/app/memory.stat=inactive_file 4\ntotal_inactive_file 3221225472\n"}
        << 3072.0;
    QTest::newRow("v2, more inactive file cache counted than in use")
        << QStringList{meminfo, v2, group + "memory.max=314572800", group + "memory.current=104857600",
                       group + "memory.stat=inactive_file 209715200\n"} << 300.0;
    const QByteArray huge(400, '9');
    QTest::newRow("v1, a limit too large for a double: none")
        << QStringList{meminfo, "proc/self/cgroup=4:memory:/app\n",
                       "sys/fs/cgroup/memory/app/memory.limit_in_bytes=" + huge} << 4000.0;
    QTest::newRow("MemAvailable too large for a double, a v2 group's limit stands")
        << QStringList{"proc/meminfo=MemAvailable: " + huge + " kB\n", v2, group + "memory.max=314572800",
                       group + "memory.current=104857600", group + "memory.stat=inactive_file " + huge + "\n"}
        << 200.0;
    QTest::newRow("v2, the group above at its limit, 3 GB of it its inactive file cache")
        << QStringList{meminfo, v2, group + "memory.max=max", "sys/fs/cgroup/user/memory.max=4294967296",
                       "sys/fs/cgroup/user/memory.current=4294967296",
                       "sys/fs/cgroup/user/memory.stat=inactive_file 3221225472\n"} << 3072.0;
}

void TestReader::memoryLeftToTheProgram()
{
    QFETCH(QStringList, files);
    QFETCH(double, megabytes);
    const QTemporaryDir root;
    for (const QString &file : files)
        support::writeBytes(root.filePath(file.section('=', 0, 0)), file.section('=', 1).toUtf8());
    QCOMPARE(sixfold::availableMemory(root.path().toStdString()) / 1048576, megabytes);
}

void TestReader::blockDecoderAgreesWithLibjpeg()
{
    // What it checks before its first use: pictures of every kind it takes,
    // every pixel decoded by it and by libjpeg.
    if (!sixfold::blockDecoderBuilt())
        QSKIP("the block decoder is not built for this libjpeg-turbo");
    QVERIFY(sixfold::blockDecoderAgreesWithLibjpeg());
}

QTEST_MAIN(TestReader)
#include "tst_reader.moc"
