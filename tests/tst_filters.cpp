// The gray, Gaussian, Sobel and Laplacian views after a load.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Where a one-channel picture is not zero: the set of columns (or rows)
// and the single value found there; value -1 when the values differ.
struct NonZero
{
    QList<int> lines;
    int value = 0;
};

NonZero nonZero(const cv::Mat &m, bool byColumn)
{
    NonZero found;
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x) {
            const int v = m.at<uchar>(y, x);
            if (!v)
                continue;
            const int line = byColumn ? x : y;
            if (!found.lines.contains(line))
                found.lines << line;
            if (found.value && found.value != v)
                found.value = -1;
            else if (!found.value)
                found.value = v;
        }
    std::sort(found.lines.begin(), found.lines.end());
    return found;
}

QList<int> range(int from, int to)
{
    QList<int> r;
    for (int i = from; i <= to; ++i)
        r << i;
    return r;
}

} // namespace

class TestFilters : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void uniformColours_data();
    void uniformColours();
    void oneLevelSteps_data();
    void oneLevelSteps();
    void viewsMatchOpenCv_data();
    void viewsMatchOpenCv();

private:
    QTemporaryDir dir;
};

void TestFilters::uniformColours_data()
{
    QTest::addColumn<cv::Scalar>("bgr");
    QTest::addColumn<int>("gray");
    QTest::newRow("pure red") << cv::Scalar(0, 0, 255) << 76;
    QTest::newRow("pure green") << cv::Scalar(0, 255, 0) << 150;
    QTest::newRow("pure blue") << cv::Scalar(255, 0, 0) << 29;
    QTest::newRow("neutral black") << cv::Scalar::all(0) << 0;
    QTest::newRow("neutral 100") << cv::Scalar::all(100) << 100;
    QTest::newRow("neutral white") << cv::Scalar::all(255) << 255;
}

void TestFilters::uniformColours()
{
    QFETCH(cv::Scalar, bgr);
    QFETCH(int, gray);
    const QString file = support::writeImage(dir.filePath("uniform.png"), cv::Mat(60, 90, CV_8UC3, bgr));
    MainWindow window;
    support::loadThroughDialog(window, file);
    const MainWindowUi &ui = window.form();
    const cv::Mat zero = cv::Mat::zeros(192, 256, CV_8UC1);
    QVERIFY(support::samePixels(support::viewGray(ui.gray), cv::Mat(192, 256, CV_8UC1, cv::Scalar(gray))));
    QVERIFY(support::samePixels(support::viewGray(ui.sobel), zero));
    QVERIFY(support::samePixels(support::viewGray(ui.laplacian), zero));
    QVERIFY(support::samePixels(support::viewRgb(ui.gaussian), support::viewRgb(ui.origin)));
}

void TestFilters::oneLevelSteps_data()
{
    QTest::addColumn<bool>("acrossColumns");
    QTest::addColumn<bool>("brighterSecond");
    QTest::addColumn<QList<int>>("sobelLines");
    QTest::addColumn<QList<int>>("laplacianLines");
    QTest::newRow("left 100, right 101") << true << true << QList<int>{127, 128} << range(124, 127);
    QTest::newRow("left 101, right 100: falling edge clipped") << true << false << QList<int>() << range(128, 131);
    QTest::newRow("top 100, bottom 101") << false << true << QList<int>{95, 96} << range(92, 95);
}

void TestFilters::oneLevelSteps()
{
    QFETCH(bool, acrossColumns);
    QFETCH(bool, brighterSecond);
    QFETCH(QList<int>, sobelLines);
    QFETCH(QList<int>, laplacianLines);

    cv::Mat step(192, 256, CV_8UC3, cv::Scalar::all(brighterSecond ? 100 : 101));
    const cv::Rect second = acrossColumns ? cv::Rect(128, 0, 128, 192) : cv::Rect(0, 96, 256, 96);
    step(second).setTo(cv::Scalar::all(brighterSecond ? 101 : 100));
    const QString file = support::writeImage(dir.filePath("step.png"), step);

    MainWindow window;
    support::loadThroughDialog(window, file);
    const NonZero sobel = nonZero(support::viewGray(window.form().sobel), acrossColumns);
    const NonZero laplacian = nonZero(support::viewGray(window.form().laplacian), acrossColumns);
    QCOMPARE(sobel.lines, sobelLines);
    if (!sobelLines.isEmpty())
        QCOMPARE(sobel.value, 2);
    QCOMPARE(laplacian.lines, laplacianLines);
    QCOMPARE(laplacian.value, 255);
}

void TestFilters::viewsMatchOpenCv_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("photo as png") << "photo.png" << QSize(640, 480);
    QTest::newRow("photo as jpeg") << "photo.jpg" << QSize(1024, 683);
    QTest::newRow("photo at panel size") << "panel.png" << QSize(256, 192);
}

void TestFilters::viewsMatchOpenCv()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QString file = support::writeImage(dir.filePath(name), support::photoLike(size.width(), size.height(), 7));
    MainWindow window;
    support::loadThroughDialog(window, file);
    // What the file decodes to, as OpenCV reads it.
    const cv::Mat asRead = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    const std::vector<cv::Mat> expected = support::expectedViews(asRead);
    const std::vector<cv::Mat> shown = support::viewPictures(window);
    const char *names[] = {"origin", "mygray", "gray", "gaussian", "sobel", "laplacian"};
    for (size_t i = 0; i < shown.size(); ++i)
        QVERIFY2(support::samePixels(shown[i], expected[i]), names[i]);
    QVERIFY(support::samePixels(window.panelImage(), expected[0]));
}

QTEST_MAIN(TestFilters)
#include "tst_filters.moc"
