// HEIC photos, which OpenCV cannot read, are decoded with libheif.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QFile>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <libheif/heif.h>

class TestHeic : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void initTestCase();
    void heicFillsAllViews_data();
    void heicFillsAllViews();
    void damagedHeicFails_data();
    void damagedHeicFails();

private:
    QTemporaryDir dir;
    QString heic;
    QByteArray heicBytes;
};

void TestHeic::initTestCase()
{
    heic = support::writeHeic(dir.filePath("photo.HEIC"), support::photoLike(320, 240, 6));
    if (heic.isEmpty())
        QSKIP("libheif has no HEVC encoder here, so no HEIC file can be made");
    QFile file(heic);
    QVERIFY(file.open(QIODevice::ReadOnly));
    heicBytes = file.readAll();
}

void TestHeic::heicFillsAllViews_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("av1");
    QTest::addColumn<QByteArray>("majorBrand");
    QTest::newRow("photo named .HEIC") << "a.HEIC" << QSize(320, 240) << false << QByteArray();
    QTest::newRow("odd size named .heic") << "b.heic" << QSize(101, 67) << false << QByteArray();
    QTest::newRow("tall photo named .jpg") << "c.jpg" << QSize(90, 400) << false << QByteArray();
    // Cameras write the generic brand first and "heic" among the others.
    QTest::newRow("HEIC with major brand mif1") << "d.HEIC" << QSize(120, 80) << false << QByteArray("mif1");
    QTest::newRow("AVIF with major brand mif1") << "e.avif" << QSize(120, 80) << true << QByteArray("mif1");
}

void TestHeic::heicFillsAllViews()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(bool, av1);
    QFETCH(QByteArray, majorBrand);
    if (av1 && !heif_have_decoder_for_format(heif_compression_AV1))
        QSKIP("libheif has no AV1 decoder here");
    const QString file = support::writeHeic(dir.filePath(name), support::photoLike(size.width(), size.height(), 8), av1);
    QVERIFY(!file.isEmpty());
    if (!majorBrand.isEmpty()) {
        QFile rewritten(file);
        QVERIFY(rewritten.open(QIODevice::ReadWrite));
        QByteArray bytes = rewritten.readAll();
        QCOMPARE(bytes.mid(4, 4), QByteArray("ftyp"));
        rewritten.seek(8);   // the file type box's major brand
        rewritten.write(majorBrand);
    }
    const cv::Mat decoded = support::decodeHeic(file);
    QCOMPARE(decoded.cols, size.width());
    QCOMPARE(decoded.rows, size.height());

    MainWindow window;
    QCOMPARE(support::loadThroughDialog(window, file), QByteArray());
    QVERIFY(support::showsLoadOf(window, decoded));
}

void TestHeic::damagedHeicFails_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("file type box only") << heicBytes.left(32);
    QTest::newRow("cut halfway") << heicBytes.left(heicBytes.size() / 2);
    QByteArray noData = heicBytes;
    const int mdat = int(noData.indexOf("mdat"));
    QVERIFY(mdat > 0);
    noData.truncate(mdat + 8);
    QTest::newRow("image data missing") << noData;
}

void TestHeic::damagedHeicFails()
{
    QFETCH(QByteArray, bytes);
    MainWindow window;
    QCOMPARE(support::loadThroughDialog(window, heic), QByteArray());
    window.form().spinBox->setValue(3);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat redrawn = window.lastGaussianImage().clone();

    const QString bad = support::writeBytes(dir.filePath("bad.HEIC"), bytes);
    QCOMPARE(support::loadThroughDialog(window, bad), support::failureLine);
    QVERIFY(support::samePictures(support::viewPictures(window), before));
    QVERIFY(support::samePixels(window.lastGaussianImage(), redrawn));
}

QTEST_MAIN(TestHeic)
#include "tst_heic.moc"
