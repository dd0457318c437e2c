#include "mainwindow_form.h"

#include <QCoreApplication>
#include <QGraphicsView>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaObject>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

namespace {

template <typename W>
W *place(QWidget *parent, const char *name, int x, int y, int w, int h)
{
    auto *widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

} // namespace

void MainWindowUi::setupForm(QMainWindow *MainWindow)
{
    if (MainWindow->objectName().isEmpty())
        MainWindow->setObjectName("MainWindow");
    MainWindow->resize(800, 600);
    MainWindow->setToolTipDuration(-1);

    centralwidget = new QWidget(MainWindow);
    centralwidget->setObjectName("centralwidget");

    // Fixed positions, no layout: the widgets keep their place when the
    // window is resized.
    origin = place<QGraphicsView>(centralwidget, "origin", 10, 40, 241, 191);
    label = place<QLabel>(centralwidget, "label", 110, 20, 40, 12);
    label_2 = place<QLabel>(centralwidget, "label_2", 380, 10, 81, 21);
    label_3 = place<QLabel>(centralwidget, "label_3", 660, 20, 40, 12);
    mygray = place<QGraphicsView>(centralwidget, "mygray", 280, 40, 241, 191);
    gray = place<QGraphicsView>(centralwidget, "gray", 550, 40, 241, 191);
    gaussian = place<QGraphicsView>(centralwidget, "gaussian", 10, 290, 241, 191);
    sobel = place<QGraphicsView>(centralwidget, "sobel", 280, 290, 241, 191);
    laplacian = place<QGraphicsView>(centralwidget, "laplacian", 550, 290, 241, 191);
    label_4 = place<QLabel>(centralwidget, "label_4", 650, 270, 101, 20);
    label_5 = place<QLabel>(centralwidget, "label_5", 380, 270, 61, 16);
    label_6 = place<QLabel>(centralwidget, "label_6", 110, 270, 91, 16);
    pushButton = place<QPushButton>(centralwidget, "pushButton", 360, 510, 80, 18);
    spinBox = place<QSpinBox>(centralwidget, "spinBox", 100, 500, 42, 22);

    spinBox->setMinimum(1);
    spinBox->setMaximum(35);
    spinBox->setSingleStep(2);
    spinBox->setStepType(QAbstractSpinBox::DefaultStepType);
    spinBox->setValue(1);

    MainWindow->setCentralWidget(centralwidget);

    menubar = place<QMenuBar>(MainWindow, "menubar", 0, 0, 800, 17);
    MainWindow->setMenuBar(menubar);

    statusbar = new QStatusBar(MainWindow);
    statusbar->setObjectName("statusbar");
    MainWindow->setStatusBar(statusbar);

    retranslateForm(MainWindow);

    // Last, so that configuring the spin box above reaches no handler.
    QMetaObject::connectSlotsByName(MainWindow);
}

void MainWindowUi::retranslateForm(QMainWindow *MainWindow)
{
    MainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
    label->setText(QCoreApplication::translate("MainWindow", "原圖", nullptr));
    label_2->setText(QCoreApplication::translate("MainWindow", "平均灰階", nullptr));
    label_3->setText(QCoreApplication::translate("MainWindow", "灰階", nullptr));
    label_4->setText(QCoreApplication::translate("MainWindow", "laplacian ", nullptr));
    label_5->setText(QCoreApplication::translate("MainWindow", "sobel", nullptr));
    label_6->setText(QCoreApplication::translate("MainWindow", "Gaussian", nullptr));
    pushButton->setText(QCoreApplication::translate("MainWindow", "載入圖片", nullptr));
}
