#ifndef MAINWINDOW_FORM_H
#define MAINWINDOW_FORM_H

class QGraphicsView;
class QLabel;
class QMainWindow;
class QMenuBar;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QWidget;

// The widgets of the main window. The record only points at them: they are
// children of the window and go with it.
struct MainWindowUi
{
    QWidget *centralwidget;
    QGraphicsView *origin;
    QLabel *label;
    QLabel *label_2;
    QLabel *label_3;
    QGraphicsView *mygray;
    QGraphicsView *gray;
    QGraphicsView *gaussian;
    QGraphicsView *sobel;
    QGraphicsView *laplacian;
    QLabel *label_4;
    QLabel *label_5;
    QLabel *label_6;
    QPushButton *pushButton;
    QSpinBox *spinBox;
    QMenuBar *menubar;
    QStatusBar *statusbar;

    // Builds every widget on the window, sets the texts and, last, connects
    // the window's on_<objectName>_<signal> slots by name.
    void setupForm(QMainWindow *MainWindow);
    void retranslateForm(QMainWindow *MainWindow);
};

#endif // MAINWINDOW_FORM_H
