#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <opencv2/core.hpp>

class QDropEvent;
struct MainWindowUi;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // What the load button does once a path has been chosen: reads the file
    // and fills all six views, or prints the failure line and changes
    // nothing. An empty path is a cancelled choice. Returns whether a
    // picture was loaded.
    bool openImage(const QString &path);

    // The same load for a path given as the bytes the file system holds,
    // which need not be text in any encoding (the command line, drops); a
    // relative one from the current folder.
    bool openFile(const QByteArray &path);

    const MainWindowUi &form() const { return *ui; }
    QString chosenPath() const { return imagePath; }
    cv::Mat panelImage() const { return rgbPanelImage; }
    cv::Mat lastGaussianImage() const { return gaussianImage; }

protected:
    // A file dropped anywhere on the window loads as if chosen in the
    // dialog; drops it cannot use are refused while still being dragged.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void on_spinBox_valueChanged(int arg1);

private:
    bool takeDrag(QDropEvent *event);
    bool load(const QString &shownPath, const QByteArray &path);

    MainWindowUi *ui;
    QString imagePath;
    cv::Mat rgbPanelImage;   // the loaded picture at panel size, red-green-blue
    cv::Mat gaussianImage;   // the last redraw of the Gaussian view
};

#endif // MAINWINDOW_H
