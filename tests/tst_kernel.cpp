// The kernel-size spin box and the Gaussian view it redraws.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QGraphicsView>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

namespace {

cv::Mat blurred(const cv::Mat &rgb, int size)
{
    cv::Mat out;
    cv::GaussianBlur(rgb, out, cv::Size(size, size), 0, 0, cv::BORDER_DEFAULT);
    return out;
}

} // namespace

class TestKernel : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void initTestCase();
    void singlePixelAtThree();
    void stepsNeverAccumulate();
    void loadShowsTheNewFileUnblurred();
    void typedSizes_data();
    void typedSizes();
    void changeBeforeAnyLoadDoesNothing();
    void failedLoadsKeepTheStoredCopy_data();
    void failedLoadsKeepTheStoredCopy();
    void uniformPictureStaysUniform();

private:
    QSpinBox *spin(MainWindow &window) { return window.form().spinBox; }
    cv::Mat gaussian(MainWindow &window) { return support::viewRgb(window.form().gaussian); }

    QTemporaryDir dir;
    QString photo;
    QString other;
};

void TestKernel::initTestCase()
{
    photo = support::writeImage(dir.filePath("photo.png"), support::photoLike(320, 240, 3));
    other = support::writeImage(dir.filePath("other.png"), support::photoLike(200, 300, 4));
}

void TestKernel::singlePixelAtThree()
{
    cv::Mat dot = cv::Mat::zeros(192, 256, CV_8UC3);
    dot.at<cv::Vec3b>(80, 100) = cv::Vec3b::all(255);
    const QString file = support::writeImage(dir.filePath("dot.png"), dot);
    MainWindow window;
    support::loadThroughDialog(window, file);
    const std::vector<cv::Mat> before = support::viewPictures(window);

    spin(window)->stepBy(1);
    QCOMPARE(spin(window)->value(), 3);
    cv::Mat expected = cv::Mat::zeros(192, 256, CV_8UC3);
    const int patch[3][3] = {{16, 32, 16}, {32, 64, 32}, {16, 32, 16}};
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            expected.at<cv::Vec3b>(80 + dy, 100 + dx) = cv::Vec3b::all(uchar(patch[dy + 1][dx + 1]));
    QVERIFY(support::samePixels(gaussian(window), expected));
    QVERIFY(support::samePixels(window.lastGaussianImage(), expected));

    // Only the Gaussian view changed.
    const std::vector<cv::Mat> after = support::viewPictures(window);
    for (int i : {0, 1, 2, 4, 5})
        QVERIFY(support::samePixels(after[i], before[i]));
}

void TestKernel::stepsNeverAccumulate()
{
    MainWindow window;
    support::loadThroughDialog(window, photo);
    const cv::Mat origin = support::viewRgb(window.form().origin);

    spin(window)->stepBy(1);
    const cv::Mat firstThree = gaussian(window);
    QVERIFY(support::samePixels(firstThree, blurred(origin, 3)));
    spin(window)->stepBy(1);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 5)));
    spin(window)->stepBy(-1);
    QVERIFY(support::samePixels(gaussian(window), firstThree));
    spin(window)->stepBy(-1);
    QVERIFY(support::samePixels(gaussian(window), origin));

    // At the top the box stops, and stepping down from it gives 33.
    spin(window)->setValue(35);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 35)));
    QGraphicsScene *scene = window.form().gaussian->scene();
    spin(window)->stepBy(1);
    QCOMPARE(spin(window)->value(), 35);
    QCOMPARE(window.form().gaussian->scene(), scene);
    spin(window)->stepBy(-1);
    QCOMPARE(spin(window)->value(), 33);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 33)));
}

void TestKernel::loadShowsTheNewFileUnblurred()
{
    MainWindow window;
    support::loadThroughDialog(window, photo);
    spin(window)->setValue(9);
    const cv::Mat blurredPhoto = gaussian(window);

    support::loadThroughDialog(window, other);
    QCOMPARE(spin(window)->value(), 9);
    const cv::Mat origin = support::viewRgb(window.form().origin);
    QVERIFY(support::samePixels(gaussian(window), origin));
    QVERIFY(support::samePixels(window.panelImage(), origin));
    // The last redraw is kept but no longer shown.
    QVERIFY(support::samePixels(window.lastGaussianImage(), blurredPhoto));

    spin(window)->stepBy(1);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 11)));
    spin(window)->stepBy(-2);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 7)));
}

void TestKernel::typedSizes_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("kernel");
    QTest::newRow("odd size as typed") << "7" << 7;
    QTest::newRow("even 2 blurs with 3") << "2" << 3;
    QTest::newRow("even 12 blurs with 13") << "12" << 13;
    QTest::newRow("even 34 blurs with 35") << "34" << 35;
}

void TestKernel::typedSizes()
{
    QFETCH(QString, typed);
    QFETCH(int, kernel);
    MainWindow window;
    window.show();
    support::loadThroughDialog(window, photo);
    const cv::Mat origin = support::viewRgb(window.form().origin);

    QSpinBox *box = spin(window);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, typed);
    QCOMPARE(box->value(), typed.toInt());
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, kernel)));

    // Stepping on from a typed value keeps working.
    box->stepBy(-1);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, (typed.toInt() - 2) | 1)));
}

void TestKernel::changeBeforeAnyLoadDoesNothing()
{
    MainWindow window;
    spin(window)->stepBy(1);
    spin(window)->setValue(4);
    QVERIFY(!window.form().gaussian->scene());
    QVERIFY(window.lastGaussianImage().empty());

    // A later load and change work as usual.
    support::loadThroughDialog(window, photo);
    spin(window)->stepBy(1);
    QCOMPARE(spin(window)->value(), 6);
    QVERIFY(support::samePixels(gaussian(window), blurred(window.panelImage(), 7)));
}

void TestKernel::failedLoadsKeepTheStoredCopy_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancelled dialog") << true;
    QTest::newRow("unreadable file") << false;
}

void TestKernel::failedLoadsKeepTheStoredCopy()
{
    QFETCH(bool, cancel);
    MainWindow window;
    support::loadThroughDialog(window, photo);
    const cv::Mat origin = support::viewRgb(window.form().origin);
    spin(window)->setValue(5);
    const cv::Mat shown = gaussian(window);

    const QString bad = support::writeBytes(dir.filePath("bad.png"), "no picture");
    support::loadThroughDialog(window, cancel ? QString() : bad);
    QVERIFY(support::samePixels(gaussian(window), shown));
    QVERIFY(support::samePixels(window.panelImage(), origin));
    spin(window)->stepBy(1);
    QVERIFY(support::samePixels(gaussian(window), blurred(origin, 7)));
}

void TestKernel::uniformPictureStaysUniform()
{
    const cv::Scalar colour(20, 140, 230);
    const QString file = support::writeImage(dir.filePath("flat.png"), cv::Mat(100, 100, CV_8UC3, colour));
    MainWindow window;
    support::loadThroughDialog(window, file);
    const cv::Mat flat(192, 256, CV_8UC3, cv::Scalar(230, 140, 20));
    for (int size = 3; size <= 35; size += 2) {
        spin(window)->setValue(size);
        QVERIFY2(support::samePixels(gaussian(window), flat), qPrintable(QString::number(size)));
    }
}

QTEST_MAIN(TestKernel)
#include "tst_kernel.moc"
