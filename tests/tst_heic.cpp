// HEIC photos, which OpenCV cannot read, are decoded with libheif.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QFile>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

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
    QFile file(heic);
    QVERIFY(file.open(QIODevice::ReadOnly));
    heicBytes = file.readAll();
}

void TestHeic::heicFillsAllViews_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("photo named .HEIC") << "a.HEIC" << QSize(320, 240);
    QTest::newRow("odd size named .heic") << "b.heic" << QSize(101, 67);
    QTest::newRow("tall photo named .jpg") << "c.jpg" << QSize(90, 400);
}

void TestHeic::heicFillsAllViews()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QString file = support::writeHeic(dir.filePath(name), support::photoLike(size.width(), size.height(), 8));
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
