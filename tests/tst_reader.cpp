// Reading only the rows the views show gives exactly what reading the whole
// file with cv::imread gives.

#include "imageops.h"
#include "imagereader.h"
#include "mainwindow.h"
#include "support.h"

#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

class TestReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void scalingReadsOnlyPanelLines_data();
    void scalingReadsOnlyPanelLines();
    void sameAsWholeRead_data();
    void sameAsWholeRead();
    void refusesWhatWouldNotFit_data();
    void refusesWhatWouldNotFit();

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
    if (expected.empty())
        expected = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    QVERIFY(!expected.empty());
    MainWindow window;
    QVERIFY(window.openImage(file));
    QVERIFY(support::showsLoadOf(window, expected));
    // Each pixel the panel reads is cv::imread's, not just near enough to
    // scale alike.
    const cv::Mat read = sixfold::readImage(file.toStdString());
    if (read.size() == expected.size())
        for (const int y : sixfold::panelSourceRows(read.rows))
            for (const int x : sixfold::panelSourceColumns(read.cols))
                if (read.at<cv::Vec3b>(y, x) != expected.at<cv::Vec3b>(y, x))
                    QFAIL(qPrintable(QString("pixel (%1, %2) differs").arg(x).arg(y)));
}

void TestReader::refusesWhatWouldNotFit_data()
{
    QTest::addColumn<QByteArray>("extension");
    QTest::addColumn<double>("limitMb");
    QTest::addColumn<bool>("loads");
    // 800 x 600 pixels take 1.37 MB decoded, of which the panel's rows take
    // 0.88 MB.
    QTest::newRow("bmp beyond the limit") << QByteArray(".bmp") << 1.3 << false;
    QTest::newRow("bmp within it") << QByteArray(".bmp") << 1.4 << true;
    QTest::newRow("tiff beyond the limit") << QByteArray(".tiff") << 1.3 << false;
    QTest::newRow("webp beyond the limit") << QByteArray(".webp") << 1.3 << false;
    QTest::newRow("jpeg rows beyond the limit") << QByteArray(".jpg") << 0.85 << false;
    QTest::newRow("jpeg rows within it, the picture not") << QByteArray(".jpg") << 0.9 << true;
    QTest::newRow("png rows beyond the limit") << QByteArray(".png") << 0.85 << false;
}

void TestReader::refusesWhatWouldNotFit()
{
    QFETCH(QByteArray, extension);
    QFETCH(double, limitMb);
    QFETCH(bool, loads);
    const QString file = support::writeBytes(dir.filePath("limit" + extension),
                                             support::encoded(extension, support::photoLike(800, 600), {cv::IMWRITE_WEBP_QUALITY, 90}));
    QCOMPARE(!sixfold::readImage(file.toStdString(), limitMb * 1048576).empty(), loads);
}

QTEST_MAIN(TestReader)
#include "tst_reader.moc"
