// Makes the README's screenshot from the real window: draws a picture,
// loads it the way the load button does (without the dialog), turns the
// kernel size up and grabs the window.
//   sixfold-screenshot OUTPUT.png

#include "mainwindow.h"
#include "mainwindow_form.h"

#include <QApplication>
#include <QPixmap>
#include <QSpinBox>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace {

// A small landscape: evening sky, sun, hills, a house and a fence.
cv::Mat landscape()
{
    cv::Mat picture(768, 1024, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y) {
        const double t = y / double(picture.rows);
        picture.row(y).setTo(cv::Scalar(200 - 120 * t, 150 - 40 * t, 90 + 150 * t));
    }
    cv::circle(picture, {700, 300}, 110, cv::Scalar(120, 220, 255), cv::FILLED, cv::LINE_AA);
    std::vector<cv::Point> hills = {{0, 520}, {180, 430}, {420, 500}, {640, 410}, {1024, 520}, {1024, 768}, {0, 768}};
    cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{hills}, cv::Scalar(60, 130, 70), cv::LINE_AA);
    cv::rectangle(picture, cv::Rect(220, 430, 170, 140), cv::Scalar(70, 90, 180), cv::FILLED);
    std::vector<cv::Point> roof = {{200, 435}, {305, 350}, {410, 435}};
    cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{roof}, cv::Scalar(40, 40, 120), cv::LINE_AA);
    cv::rectangle(picture, cv::Rect(285, 500, 40, 70), cv::Scalar(30, 50, 90), cv::FILLED);
    for (int x = 480; x < 1000; x += 34)
        cv::rectangle(picture, cv::Rect(x, 600, 12, 90), cv::Scalar(200, 220, 230), cv::FILLED);
    cv::rectangle(picture, cv::Rect(470, 620, 540, 10), cv::Scalar(200, 220, 230), cv::FILLED);
    return picture;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QString picture = dir.filePath("landscape.png");
    cv::imwrite(picture.toStdString(), landscape());

    MainWindow window;
    window.show();
    if (!window.openImage(picture))
        return 1;
    window.form().spinBox->setValue(9);
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
