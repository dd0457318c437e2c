#include "desktopfiles.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

namespace {

// The program's command line, after Qt's own options (-platform, -style,
// ...), which the application object takes first.
void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationVersion(QStringLiteral(SIXFOLD_VERSION));
    parser.setApplicationDescription(QCoreApplication::translate("main", "Classic image filters side by side."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QCoreApplication::translate("main", "The picture to open: a path or a file:// URI."),
                                 QStringLiteral("[FILE]"));
}

// Whether the command line asks only for help or the version, which are
// answered without a display.
bool asksForHelp(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    if (asksForHelp(argc, argv)) {
        QCoreApplication app(argc, argv);
        describe(parser);
        parser.process(app);   // prints, and ends the program
    }

    QApplication app(argc, argv);
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName("io.sixfold.Sixfold");
    describe(parser);
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
