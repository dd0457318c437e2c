#include "mainwindow.h"

#include "desktopfiles.h"
#include "imageops.h"
#include "imagereader.h"
#include "mainwindow_form.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QPixmap>

#include <opencv2/imgproc.hpp>

#include <iostream>
#include <utility>

namespace {

// Shows the busy pointer for its scope, so that a long load does not look
// like a hang.
struct BusyCursor
{
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

// Scales the matrix in place to panel size and shows it in the view on a
// scene of its own. The view does not own its scenes, so the one it showed
// before is deleted here.
void showPanel(cv::Mat &m, QImage::Format format, QGraphicsView *view)
{
    cv::resize(m, m, cv::Size(sixfold::PanelWidth, sixfold::PanelHeight), 0, 0, cv::INTER_LINEAR);
    const QImage picture(m.data, m.cols, m.rows, qsizetype(m.step), format);
    auto *scene = new QGraphicsScene;
    scene->addPixmap(QPixmap::fromImage(picture));
    QGraphicsScene *previous = view->scene();
    view->setScene(scene);
    view->show();
    delete previous;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowUi())
{
    ui->setupForm(this);
    // Drags over the window, and over the children that take drags
    // themselves (the views, the spin box's editor), are the window's.
    setAcceptDrops(true);
    installEventFilter(this);
    for (QWidget *child : findChildren<QWidget *>())
        if (child->acceptDrops())
            child->installEventFilter(this);
}

MainWindow::~MainWindow()
{
    for (QGraphicsView *view : {ui->origin, ui->mygray, ui->gray, ui->gaussian, ui->sobel, ui->laplacian})
        delete view->scene();
    delete ui;
}

void MainWindow::on_pushButton_clicked()
{
    openImage(QFileDialog::getOpenFileName(this, tr("開啟圖片"), QString(),
                                           tr("圖片 (*.jpg *.png *.HEIC *.txt *.jpeg)")));
}

bool MainWindow::openImage(const QString &path)
{
    return load(path, QFile::encodeName(path));
}

bool MainWindow::openFile(const QByteArray &path)
{
    return load(QFile::decodeName(path), path);
}

// The path is kept as shown; the file is read by its bytes.
bool MainWindow::load(const QString &shownPath, const QByteArray &path)
{
    imagePath = shownPath;
    if (imagePath.isEmpty())
        return false;

    const BusyCursor busy;
    cv::Mat image = sixfold::readImage(path.toStdString());
    if (image.empty()) {
        std::cout << "失敗" << std::endl;
        return false;
    }

    // Everything is computed before any view changes. Scaling reads only
    // some pixels of the full-size picture (and the reading may have filled
    // in no others), so the average gray is needed there alone.
    cv::Mat rgb = sixfold::panelRgb(image);
    cv::Mat avgGray = std::move(image);   // the full-size picture is not needed again
    sixfold::averageGrayForPanel(avgGray);

    cv::Mat grayImage, blurImage, sobelX, sobelY, sobelImage, laplacianImage;
    cv::cvtColor(rgb, grayImage, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(rgb, blurImage, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);
    cv::Sobel(grayImage, sobelX, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(grayImage, sobelY, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(sobelX, 0.5, sobelY, 0.5, 0.0, sobelImage, -1);
    cv::Laplacian(grayImage, laplacianImage, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);

    showPanel(rgb, QImage::Format_RGB888, ui->origin);
    showPanel(avgGray, QImage::Format_RGB888, ui->mygray);
    showPanel(grayImage, QImage::Format_Indexed8, ui->gray);
    rgbPanelImage = rgb.clone();
    showPanel(blurImage, QImage::Format_RGB888, ui->gaussian);
    showPanel(sobelImage, QImage::Format_Indexed8, ui->sobel);
    showPanel(laplacianImage, QImage::Format_Indexed8, ui->laplacian);
    return true;
}

// Accepts a drag carrying a file that can be loaded, as a copy (never a
// move, which would have the source delete it), and loads the file once it
// is dropped and the drag has ended; refuses anything else. Whether it took
// the drag.
bool MainWindow::takeDrag(QDropEvent *event)
{
    const QByteArray file = sixfold::draggedFile(event->mimeData());
    if (file.isEmpty() || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    if (event->type() == QEvent::Drop)
        QMetaObject::invokeMethod(this, [this, file] { openFile(file); }, Qt::QueuedConnection);
    return true;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)
        return takeDrag(static_cast<QDropEvent *>(event));
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::on_spinBox_valueChanged(int arg1)
{
    // Nothing to blur before the first load.
    if (rgbPanelImage.empty())
        return;
    // A typed even size blurs with the next odd one; stepping only gives odd sizes.
    const int size = arg1 % 2 ? arg1 : arg1 + 1;
    cv::GaussianBlur(rgbPanelImage, gaussianImage, cv::Size(size, size), 0, 0, cv::BORDER_DEFAULT);
    showPanel(gaussianImage, QImage::Format_RGB888, ui->gaussian);
}
