#include "desktopfiles.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);   // takes Qt's own options (-platform, -style, ...)
    QCoreApplication::setApplicationVersion(QStringLiteral(SIXFOLD_VERSION));
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName("io.sixfold.Sixfold");

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate("main", "Classic image filters side by side."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QCoreApplication::translate("main", "The picture to open: a path or a file:// URI."),
                                 QStringLiteral("[FILE]"));
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fputs(qPrintable(QCoreApplication::translate("main", "sixfold: one picture at a time\n\n")), stderr);
        parser.showHelp(2);
    }

    MainWindow window;
    window.show();
    // The picture loads once the event loop runs, as if chosen in the dialog.
    if (!files.isEmpty())
        QMetaObject::invokeMethod(
            &window, [&window, file = sixfold::fileOfArgument(files.first())] { window.openImage(file); },
            Qt::QueuedConnection);
    return app.exec();
}
