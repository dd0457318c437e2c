#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName("io.sixfold.Sixfold");
    MainWindow window;
    window.show();
    return app.exec();
}
