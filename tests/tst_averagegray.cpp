// The average gray: R*0.3 + G*0.3 + B*0.3 in double precision, truncated,
// on the picture at its own size.

#include "imageops.h"
#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

class TestAverageGray : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void pixelValues_data();
    void pixelValues();
    void everyColourMatchesThePlainFormula();
    void paddedRowsAreConvertedAlone();
    void computedBeforeScaling();

private:
    QTemporaryDir dir;
};

void TestAverageGray::pixelValues_data()
{
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("expected");
    QTest::newRow("white is truncated to 229") << 255 << 255 << 255 << 229;
    QTest::newRow("black stays 0") << 0 << 0 << 0 << 0;
    QTest::newRow("sum just under 3 gives 2") << 3 << 3 << 4 << 2;
    QTest::newRow("(1,1,1) gives 0") << 1 << 1 << 1 << 0;
    QTest::newRow("pure red") << 0 << 0 << 255 << 76;
    QTest::newRow("pure blue") << 255 << 0 << 0 << 76;
    QTest::newRow("(10,20,30) gives 18") << 10 << 20 << 30 << 18;
    QTest::newRow("neutral gray at nine tenths") << 100 << 100 << 100 << 90;
}

void TestAverageGray::pixelValues()
{
    QFETCH(int, b);
    QFETCH(int, g);
    QFETCH(int, r);
    QFETCH(int, expected);

    // Through the window, as a file of that one colour.
    const QString file = support::writeImage(dir.filePath("uniform.png"),
                                             cv::Mat(30, 40, CV_8UC3, cv::Scalar(b, g, r)));
    MainWindow window;
    support::loadThroughDialog(window, file);
    const cv::Mat shown = support::viewGray(window.form().mygray);
    QVERIFY(support::samePixels(shown, cv::Mat(192, 256, CV_8UC1, cv::Scalar(expected))));
}

void TestAverageGray::everyColourMatchesThePlainFormula()
{
    // All 2^24 (B, G, R) triples, one per pixel.
    cv::Mat all(4096, 4096, CV_8UC3);
    for (int y = 0; y < all.rows; ++y) {
        auto *p = all.ptr<cv::Vec3b>(y);
        for (int x = 0; x < all.cols; ++x) {
            const int i = y * all.cols + x;
            p[x] = cv::Vec3b(uchar(i), uchar(i >> 8), uchar(i >> 16));
        }
    }
    sixfold::averageGrayInPlace(all);

    int wrong = 0;
    for (int y = 0; y < all.rows; ++y) {
        const auto *p = all.ptr<cv::Vec3b>(y);
        for (int x = 0; x < all.cols; ++x) {
            const int i = y * all.cols + x;
            const int b = i & 255, g = (i >> 8) & 255, r = i >> 16;
            const auto expected = uchar(int(r * 0.3 + g * 0.3 + b * 0.3));
            if (p[x] != cv::Vec3b::all(expected) && ++wrong <= 5)
                qWarning("(B,G,R) = (%d,%d,%d) gave %d, expected %d", b, g, r, p[x][0], expected);
        }
    }
    QCOMPARE(wrong, 0);
}

void TestAverageGray::paddedRowsAreConvertedAlone()
{
    // A region of a larger picture: rows are reached through the stride and
    // the pixels around the region stay as they were.
    cv::Mat outer(40, 50, CV_8UC3, cv::Scalar(7, 8, 9));
    cv::Mat region = outer(cv::Rect(5, 3, 33, 21));
    cv::randu(region, 0, 256);
    const cv::Mat original = region.clone();
    sixfold::averageGrayInPlace(region);

    for (int y = 0; y < outer.rows; ++y)
        for (int x = 0; x < outer.cols; ++x) {
            const cv::Vec3b p = outer.at<cv::Vec3b>(y, x);
            if (cv::Rect(5, 3, 33, 21).contains(cv::Point(x, y))) {
                const cv::Vec3b o = original.at<cv::Vec3b>(y - 3, x - 5);
                QCOMPARE(p, cv::Vec3b::all(uchar(int(o[2] * 0.3 + o[1] * 0.3 + o[0] * 0.3))));
            } else {
                QCOMPARE(p, cv::Vec3b(7, 8, 9));
            }
        }
}

void TestAverageGray::computedBeforeScaling()
{
    // A fine pattern whose average of scaled pixels differs from the scaled
    // average: only converting at full size gives the expected picture.
    cv::Mat stripes(400, 600, CV_8UC3);
    for (int x = 0; x < stripes.cols; ++x)
        stripes.col(x).setTo(x % 2 ? cv::Scalar(3, 3, 4) : cv::Scalar(250, 1, 9));
    const QString file = support::writeImage(dir.filePath("stripes.png"), stripes);
    MainWindow window;
    support::loadThroughDialog(window, file);
    const cv::Mat expected = support::expectedViews(stripes)[1];
    QVERIFY(support::samePixels(support::viewRgb(window.form().mygray), expected));
}

QTEST_MAIN(TestAverageGray)
#include "tst_averagegray.moc"
