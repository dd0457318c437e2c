// Loading a file through the real file dialog into the window.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QApplication>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

using support::loadThroughDialog;

class TestLoading : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void anySizeFillsThePanel_data();
    void anySizeFillsThePanel();
    void coloursKeepTheirPlace_data();
    void coloursKeepTheirPlace();
    void grayFileLoadsAsColour();
    void cancelKeepsEverything();
    void unreadableFileChangesNothing_data();
    void unreadableFileChangesNothing();
    void replacedScenesAreReleased();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestLoading::anySizeFillsThePanel_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("panel size") << QSize(256, 192);
    QTest::newRow("small square") << QSize(10, 10);
    QTest::newRow("single pixel") << QSize(1, 1);
    QTest::newRow("very wide") << QSize(3000, 12);
    QTest::newRow("very tall") << QSize(12, 3000);
    QTest::newRow("odd size larger") << QSize(1001, 333);
    QTest::newRow("exactly twice the panel") << QSize(512, 384);
}

void TestLoading::anySizeFillsThePanel()
{
    QFETCH(QSize, size);
    const cv::Mat picture = support::photoLike(size.width(), size.height());
    const QString file = support::writeImage(path("any.png"), picture);

    MainWindow window;
    QCOMPARE(loadThroughDialog(window, file), QByteArray());
    QCOMPARE(window.chosenPath(), file);

    // Stretched or squeezed to 256 x 192, never cropped: every view is the
    // whole picture scaled.
    const std::vector<cv::Mat> shown = support::viewPictures(window);
    const std::vector<cv::Mat> expected = support::expectedViews(picture);
    QCOMPARE(shown[0].cols, 256);
    QCOMPARE(shown[0].rows, 192);
    QVERIFY(support::samePixels(shown[0], expected[0]));
    QVERIFY(support::samePictures(shown, expected));
    QVERIFY(support::samePixels(window.panelImage(), expected[0]));
}

void TestLoading::coloursKeepTheirPlace_data()
{
    QTest::addColumn<cv::Scalar>("bgr");
    QTest::addColumn<cv::Vec3b>("rgb");
    QTest::newRow("red stays red") << cv::Scalar(0, 0, 255) << cv::Vec3b(255, 0, 0);
    QTest::newRow("green stays green") << cv::Scalar(0, 255, 0) << cv::Vec3b(0, 255, 0);
    QTest::newRow("blue stays blue") << cv::Scalar(255, 0, 0) << cv::Vec3b(0, 0, 255);
}

void TestLoading::coloursKeepTheirPlace()
{
    QFETCH(cv::Scalar, bgr);
    QFETCH(cv::Vec3b, rgb);
    const QString file = support::writeImage(path("colour.png"), cv::Mat(50, 70, CV_8UC3, bgr));
    MainWindow window;
    loadThroughDialog(window, file);
    const cv::Mat origin = support::viewRgb(window.form().origin);
    QVERIFY(support::samePixels(origin, cv::Mat(192, 256, CV_8UC3, cv::Scalar(rgb[0], rgb[1], rgb[2]))));
}

void TestLoading::grayFileLoadsAsColour()
{
    cv::Mat gray(100, 80, CV_8UC1);
    cv::randu(gray, 0, 256);
    const QString file = support::writeImage(path("gray.png"), gray);
    MainWindow window;
    QCOMPARE(loadThroughDialog(window, file), QByteArray());
    cv::Mat asColour;
    cv::cvtColor(gray, asColour, cv::COLOR_GRAY2BGR);
    QVERIFY(support::samePictures(support::viewPictures(window), support::expectedViews(asColour)));
}

void TestLoading::cancelKeepsEverything()
{
    MainWindow window;
    // Cancelling before anything was loaded leaves the views empty.
    QCOMPARE(loadThroughDialog(window, QString()), QByteArray());
    QVERIFY(window.chosenPath().isEmpty());
    QVERIFY(!window.form().origin->scene());

    const QString file = support::writeImage(path("cancel.png"), support::photoLike(300, 200));
    loadThroughDialog(window, file);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat panel = window.panelImage().clone();

    QCOMPARE(loadThroughDialog(window, QString()), QByteArray());
    QVERIFY(window.chosenPath().isEmpty());
    QVERIFY(support::samePictures(support::viewPictures(window), before));
    QVERIFY(support::samePixels(window.panelImage(), panel));
}

void TestLoading::unreadableFileChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray wholePng = support::encoded(".png", support::photoLike(64, 48));

    QTest::newRow("plain text") << "notes.txt" << QByteArray("not a picture\n");
    QTest::newRow("empty file") << "empty.png" << QByteArray();
    QTest::newRow("truncated png") << "cut.png" << wholePng.left(wholePng.size() / 2);
    QTest::newRow("png header declaring a huge size")
        << "huge.png"
        << support::pngHeader(100000, 100000) + support::pngChunk("IDAT", qCompress(QByteArray(64, '\0')).mid(4));
    QTest::newRow("huge size in a text file")
        << "huge.txt" << QByteArray("P6\n200000 200000\n255\n") + QByteArray(64, '\0');
}

void TestLoading::unreadableFileChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);

    MainWindow window;
    const QString good = support::writeImage(path("good.png"), support::photoLike(120, 90));
    loadThroughDialog(window, good);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat panel = window.panelImage().clone();

    const QString bad = support::writeBytes(path(name), bytes);
    QCOMPARE(loadThroughDialog(window, bad), support::failureLine);
    QCOMPARE(window.chosenPath(), bad);
    QVERIFY(support::samePictures(support::viewPictures(window), before));
    QVERIFY(support::samePixels(window.panelImage(), panel));

    // The window goes on working.
    QCOMPARE(loadThroughDialog(window, good), QByteArray());
    QCOMPARE(window.chosenPath(), good);
}

void TestLoading::replacedScenesAreReleased()
{
    MainWindow window;
    const QString file = support::writeImage(path("again.png"), support::photoLike(64, 64));
    QList<QPointer<QGraphicsScene>> seen;
    for (int i = 0; i < 5; ++i) {
        loadThroughDialog(window, file);
        for (const QGraphicsView *view : window.findChildren<QGraphicsView *>())
            seen << view->scene();
    }
    QCOMPARE(seen.size(), 30);
    int live = 0;
    for (const auto &scene : seen)
        live += !scene.isNull();
    QCOMPARE(live, 6);
}

QTEST_MAIN(TestLoading)
#include "tst_loading.moc"
