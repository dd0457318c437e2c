// Whatever file the user picks, it either loads and fills all six views
// correctly, or prints the one failure line and changes nothing.

#include "codecs.h"
#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Raw PNG scanlines: h rows of the given number of bytes, each led by
// filter byte 0, filled from a pattern.
QByteArray scanlines(int bytesPerRow, int h, int seed)
{
    QByteArray rows;
    for (int y = 0; y < h; ++y) {
        rows += '\0';
        for (int x = 0; x < bytesPerRow; ++x)
            rows += char((x * 7 + y * 13 + seed) % 256);
    }
    return rows;
}

} // namespace

class TestRobustness : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void initTestCase();
    void anyFile_data();
    void anyFile();
    void exifOrientationIsApplied();
    void onlyRegularFilesAreRead();
    void otherFormatsNeedTheCodecsModule();

private:
    QTemporaryDir dir;
    QString good;
};

void TestRobustness::initTestCase()
{
    QVERIFY(dir.isValid());
    good = support::writeImage(dir.filePath("good.png"), support::photoLike(160, 120, 5));
}

void TestRobustness::anyFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("loads");

    const cv::Mat photo = support::photoLike(96, 72, 9);
    const QByteArray png = support::encoded(".png", photo);
    const QByteArray jpeg = support::encoded(".jpg", photo);
    const QByteArray progressive = support::encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const int jpegScan = int(jpeg.indexOf(QByteArray::fromHex("ffda")));
    const int pngData = int(png.indexOf("IDAT"));
    QVERIFY(jpegScan > 0 && pngData > 0);
    cv::Mat gray;
    cv::cvtColor(photo, gray, cv::COLOR_BGR2GRAY);

    // Not pictures at all.
    QTest::newRow("zero bytes") << "zero.png" << QByteArray() << false;
    QTest::newRow("plain text") << "notes.txt" << QByteArray("just some notes\nline two\n") << false;
    QTest::newRow("random bytes named png") << "random.png" << randomBytes(4096, 1) << false;
    QTest::newRow("random bytes named jpg") << "random.jpg" << randomBytes(4096, 2) << false;

    // Damaged files. A JPEG cut inside its compressed data still decodes
    // (the missing part comes out flat); a PNG cut anywhere does not.
    QTest::newRow("jpeg cut after its start marker") << "cut1.jpg" << jpeg.left(2) << false;
    QTest::newRow("jpeg cut in its headers") << "cut2.jpg" << jpeg.left(jpegScan / 2) << false;
    QTest::newRow("jpeg cut in its scan header") << "cut3.jpg" << jpeg.left(jpegScan + 6) << false;
    QTest::newRow("jpeg cut early in its data") << "cut4.jpg" << jpeg.left(jpegScan + 24) << true;
    QTest::newRow("jpeg cut halfway through its data")
        << "cut5.jpg" << jpeg.left((jpegScan + jpeg.size()) / 2) << true;
    QTest::newRow("jpeg without its end marker") << "cut6.jpg" << jpeg.left(jpeg.size() - 2) << true;
    // A JPEG of several scans, cut or damaged in any scan's data, decodes as
    // far as its data go, as libjpeg decodes it.
    const int firstScan = int(progressive.indexOf("\xff\xda")), lastScan = int(progressive.lastIndexOf("\xff\xda"));
    QTest::newRow("progressive jpeg cut halfway through its data")
        << "cut7.jpg" << progressive.left((firstScan + progressive.size()) / 2) << true;
    QTest::newRow("progressive jpeg cut before its last scan") << "cut8.jpg" << progressive.left(lastScan) << true;
    QByteArray damaged = progressive;
    damaged[lastScan + 20] = char(damaged[lastScan + 20] ^ 0x5a);
    QTest::newRow("progressive jpeg with one corrupted byte in its last scan") << "flipped.jpg" << damaged << true;
    support::JpegOptions perComponent;
    perComponent.script = {{{0}}, {{1}}, {{2}}};
    const QByteArray scans = support::jpegFile(photo, perComponent);
    QTest::newRow("jpeg of a scan a component cut before its last scan")
        << "cut10.jpg" << scans.left(scans.lastIndexOf("\xff\xda")) << true;
    // Cut inside a later scan's header, it is refused: libjpeg fails on it,
    // as in cv::imread.
    QTest::newRow("progressive jpeg cut in its second scan's header")
        << "cut9.jpg" << progressive.left(progressive.indexOf("\xff\xda", firstScan + 2) + 5) << false;
    // Cut within a marker after its scans, or ending on a bare marker code,
    // it is refused: libjpeg takes its source's fake end marker for the
    // segment's length, or errs at the code, and fails.
    const QByteArray scanned = progressive.left(progressive.size() - 2);   // without its end marker
    for (const char *cut : {"ffc4", "ffc400", "ffdd00"})
        QTest::addRow("progressive jpeg cut in the marker %s after its scans", cut)
            << "cut-marker.jpg" << scanned + QByteArray::fromHex(cut) << false;
    for (const char *code : {"\xff\x02", "\xff\xc2", "\xff\xdd"})
        QTest::addRow("progressive jpeg ending on the bare marker %02x after its scans", uchar(code[1]))
            << "bare-marker.jpg" << scanned + code << false;
    QTest::newRow("jpeg of a scan a component ending on a bare marker")
        << "bare-marker2.jpg" << scans.left(scans.size() - 2) + "\xff\x02" << false;
    QTest::newRow("png signature only") << "cut1.png" << png.left(8) << false;
    QTest::newRow("png cut in its header") << "cut2.png" << png.left(20) << false;
    QTest::newRow("png cut halfway through its data") << "cut3.png" << png.left((pngData + png.size()) / 2) << false;
    QTest::newRow("png without its end chunk") << "cut4.png" << png.left(png.size() - 12) << false;
    QByteArray flipped = png;
    flipped[pngData + 40] = char(flipped[pngData + 40] ^ 0x55);
    QTest::newRow("png with one corrupted byte") << "flipped.png" << flipped << false;

    // Headers declaring sizes beyond what the decoders accept.
    const QByteArray tail(256, '\x11');
    const QByteArray pngRest = support::pngChunk("IDAT", qCompress(tail).mid(4)) + support::pngChunk("IEND", {});
    QTest::newRow("png declaring 100000 x 100000") << "huge.png" << support::pngHeader(100000, 100000) + pngRest << false;
    QTest::newRow("png declaring 2^31-1 wide") << "wide.png" << support::pngHeader(0x7fffffff, 1) + pngRest << false;
    QTest::newRow("jpeg declaring 65535 x 65535") << "huge.jpg" << support::jpegDeclaring(jpeg, 65535, 65535) << false;
    // Decoded whole into coefficients: gigabytes for a few kilobytes of data.
    QTest::newRow("progressive jpeg declaring 30000 x 30000")
        << "huge-progressive.jpg"
        << support::jpegDeclaring(progressive, 30000, 30000)
        << false;
    // Of AC scans alone, which cost no bit a block: a few hundred bytes are
    // proven cut short all the same, and refused.
    for (const int channels : {1, 3})
        QTest::addRow("progressive jpeg of %d components, AC scans alone, declaring 32768 x 32768", channels)
            << "ac.jpg" << support::acScansDeclaring(support::withChannels(photo, channels), 32768, 32768) << false;
    // Whole, declaring 8192 x 8192: a few hundred bytes can fill that much.
    support::JpegOptions acOnly{1, 1};
    acOnly.script = {{{0}, 0, 0, 0, 0}, {{0}, 1, 63, 0, 0}};
    acOnly.withoutDcScans = true;
    QTest::newRow("progressive gray jpeg, AC scans alone, whole, declaring 8192 x 8192")
        << "ac-whole.jpg" << support::jpegDeclaring(support::jpegFile(gray, acOnly), 8192, 8192) << true;
    // Arithmetic coding can hold a flat gigapixel picture in a few hundred
    // bytes: beyond what cv::imread reads, nothing bounds it.
    support::JpegOptions arithmetic{1, 1, true};
    arithmetic.arithmetic = true;
    QTest::newRow("arithmetic-coded progressive gray jpeg declaring 40000 x 40000")
        << "huge-arithmetic.jpg" << support::jpegDeclaring(support::jpegFile(gray, arithmetic), 40000, 40000) << false;
    // Refused from the chunk headers alone: a chunk running past the end of
    // the file, and image data too short to fill the rows declared even at
    // deflate's greatest ratio.
    QTest::newRow("png declaring a 2 GB text chunk")
        << "chunk-bomb.png" << support::pngHeader(64, 64) + QByteArray::fromHex("7ffffff0") + "iTXt" + tail << false;
    QTest::newRow("png flooding 10^6 x 10^6 one-bit pixels from 2 KB")
        << "flood.png"
        << support::pngHeader(1000000, 1000000, 1, 0) + support::pngChunk("IDAT", qCompress(QByteArray(1 << 21, '\0')).mid(4))
               + support::pngChunk("IEND", {})
        << false;
    QTest::newRow("ppm declaring 200000 x 200000, named txt")
        << "huge.txt" << QByteArray("P6\n200000 200000\n255\n") + tail << false;
    QTest::newRow("pgm declaring 100000 x 100000, named jpg")
        << "huge-gray.jpg" << QByteArray("P5 100000 100000 255 ") + tail << false;
    QTest::newRow("pbm declaring 2^31 wide, named png")
        << "huge-bits.png" << QByteArray("P4\n2147483648 2\n") + tail << false;
    QTest::newRow("pam declaring 100000 x 100000")
        << "huge.pam"
        << QByteArray("P7\nWIDTH 100000\nHEIGHT 100000\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n") + tail
        << false;
    QTest::newRow("ppm with negative size") << "negative.ppm" << QByteArray("P6\n-5 -5\n255\n") + tail << false;
    QTest::newRow("ppm with its pixels missing") << "short.ppm" << QByteArray("P6\n64 64\n255\n") + tail << false;

    // Unusual but sound pictures.
    QTest::newRow("1 x 1") << "dot.png" << support::encoded(".png", photo(cv::Rect(5, 5, 1, 1))) << true;
    QTest::newRow("one row") << "row.png" << support::encoded(".png", photo.row(3)) << true;
    QTest::newRow("one column") << "column.png" << support::encoded(".png", photo.col(3)) << true;
    cv::Mat deep;
    photo.convertTo(deep, CV_16UC3, 257.0);
    QTest::newRow("16-bit png") << "deep.png" << support::encoded(".png", deep) << true;
    QTest::newRow("gray png") << "gray.png" << support::encoded(".png", gray) << true;
    QTest::newRow("gray and alpha png") << "gray-alpha.png" << support::pngFile(40, 30, 8, 4, scanlines(80, 30, 1)) << true;
    QByteArray palette;
    for (int i = 0; i < 16; ++i)
        palette += QByteArray(1, char(i * 16)) + char(255 - i * 16) + char(i * 5);
    QTest::newRow("palette png")
        << "palette.png" << support::pngFile(40, 30, 4, 3, scanlines(20, 30, 2), support::pngChunk("PLTE", palette))
        << true;
    cv::Mat rgba;
    cv::cvtColor(photo, rgba, cv::COLOR_BGR2BGRA);
    rgba.col(10).setTo(cv::Scalar(0, 0, 0, 0));
    QTest::newRow("rgba png") << "rgba.png" << support::encoded(".png", rgba) << true;
    QTest::newRow("png named txt") << "picture.txt" << png << true;
    QTest::newRow("progressive jpeg")
        << "progressive.jpg" << progressive << true;
    cv::Mat cmyk(72, 96, CV_8UC4);
    cv::randu(cmyk, 0, 256);
    QTest::newRow("cmyk jpeg") << "cmyk.jpg" << support::jpegFile(cmyk, {1, 1}) << true;
    QTest::newRow("jpeg turned by exif") << "turned.jpg" << support::withExifOrientation(jpeg, 6) << true;
    QTest::newRow("bmp typed by hand") << "picture.bmp" << support::encoded(".bmp", photo) << true;
    QTest::newRow("tiff typed by hand") << "picture.tiff" << support::encoded(".tiff", photo) << true;
    QTest::newRow("webp typed by hand") << "picture.webp" << support::encoded(".webp", photo) << true;
    QTest::newRow("ppm typed by hand") << "picture.ppm" << support::encoded(".ppm", photo) << true;
    QTest::newRow("pgm typed by hand") << "picture.pgm" << support::encoded(".pgm", gray) << true;
    QTest::newRow("pbm typed by hand") << "picture.pbm" << support::encoded(".pbm", gray > 100) << true;

    // Paths the dialog and the reader must pass on unchanged.
    QTest::newRow("spaces in the path") << "my photos/a picture.png" << png << true;
    QTest::newRow("brackets in the name") << "[2024] photo (1) {x}.png" << png << true;
    QTest::newRow("non-ASCII path") << "相簿/照片 üé.jpg" << jpeg << true;
}

void TestRobustness::anyFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, loads);

    // A window with a picture loaded and redrawn, so that every piece of
    // state has something to lose.
    MainWindow window;
    QCOMPARE(support::loadThroughDialog(window, good), QByteArray());
    window.form().spinBox->setValue(5);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat panel = window.panelImage().clone();
    const cv::Mat redrawn = window.lastGaussianImage().clone();

    const QString file = support::writeBytes(dir.filePath(name), bytes);
    const QByteArray out = support::loadThroughDialog(window, file);
    QCOMPARE(window.chosenPath(), file);
    QVERIFY(!QApplication::overrideCursor());   // the busy pointer is gone, whatever the outcome

    if (loads) {
        QCOMPARE(out, QByteArray());
        const cv::Mat asRead = cv::imread(QFile::encodeName(file).toStdString(), cv::IMREAD_COLOR);
        QVERIFY(!asRead.empty());
        QVERIFY(support::showsLoadOf(window, asRead));
    } else {
        QCOMPARE(out, support::failureLine);
        QVERIFY(support::samePictures(support::viewPictures(window), before));
        QVERIFY(support::samePixels(window.panelImage(), panel));
    }
    QVERIFY(support::samePixels(window.lastGaussianImage(), redrawn));
}

void TestRobustness::exifOrientationIsApplied()
{
    // Orientation 6: the stored picture is shown turned a quarter clockwise.
    const QByteArray jpeg = support::encoded(".jpg", support::photoLike(96, 72, 3));
    const QString file = support::writeBytes(dir.filePath("exif6.jpg"), support::withExifOrientation(jpeg, 6));
    MainWindow window;
    QCOMPARE(support::loadThroughDialog(window, file), QByteArray());
    cv::Mat stored = cv::imread(file.toStdString(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    cv::Mat upright;
    cv::rotate(stored, upright, cv::ROTATE_90_CLOCKWISE);
    QVERIFY(support::samePictures(support::viewPictures(window), support::expectedViews(upright)));
}

void TestRobustness::onlyRegularFilesAreRead()
{
    MainWindow window;
    QCOMPARE(support::loadThroughDialog(window, good), QByteArray());
    const std::vector<cv::Mat> before = support::viewPictures(window);

    // A named pipe offered by the dialog: reading it would wait forever
    // for a writer.
    const QString fifo = dir.filePath("pipe.png");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(support::loadThroughDialog(window, fifo), support::failureLine);
    QVERIFY(support::samePictures(support::viewPictures(window), before));

    // A folder, a vanished file, or a device, which the dialog itself does
    // not return; and a PNG header before a hole of a gigabyte, whose zeros
    // read as empty chunks of a name libpng refuses.
    QFile sparse(support::writeBytes(dir.filePath("sparse.png"), support::pngHeader(64, 64)));
    QVERIFY(sparse.resize(qint64(1) << 30));
    for (const QString &path : {dir.path(), dir.filePath("missing.png"), QString("/dev/zero"), sparse.fileName()}) {
        bool loaded = true;
        QCOMPARE(support::captureStdout([&] { loaded = window.openImage(path); }), support::failureLine);
        QVERIFY(!loaded);
        QVERIFY(support::samePictures(support::viewPictures(window), before));
    }
}

void TestRobustness::otherFormatsNeedTheCodecsModule()
{
    // The program alone, without its codecs module, given a BMP on its
    // command line after one of Qt's options: the failure line, one line on
    // standard error naming the module, and the window stays open. A module
    // in the current folder, or on the library search path, is never
    // loaded, whatever the program's location.
    const QString program = dir.filePath("alone/sixfold"), planted = dir.filePath("planted");
    QDir().mkpath(dir.filePath("alone"));
    QDir().mkpath(planted);
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/sixfold", program));
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/sixfold-codecs.so", planted + "/sixfold-codecs.so"));
    const std::vector<std::string> candidates = sixfold::codecsModuleCandidates({});
    for (const std::string &candidate : candidates)
        QVERIFY(candidate.front() == '/');
    if (QFile::exists(QString::fromStdString(candidates.back())))
        QSKIP("an installed Sixfold's module would be loaded");
    const QString bmp = support::writeBytes(dir.filePath("picture.bmp"), support::encoded(".bmp", support::photoLike(40, 30)));
    QProcess alone;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_LIBRARY_PATH", planted);
    alone.setProcessEnvironment(environment);
    alone.setWorkingDirectory(planted);
    alone.start(program, {"-platform", "offscreen", bmp});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += alone.readAllStandardOutput()) == support::failureLine, 20000);
    QVERIFY(alone.state() == QProcess::Running);
    QVERIFY(alone.readAllStandardError().contains("sixfold-codecs.so"));
    alone.kill();
    alone.waitForFinished();
}

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
