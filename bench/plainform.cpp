// The baseline of the start-up benchmark: the window's form in a plain Qt
// program that links nothing else, shown as the program shows it.

#include "mainwindow_form.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    MainWindowUi form;
    form.setupForm(&window);
    window.show();
    return app.exec();
}
