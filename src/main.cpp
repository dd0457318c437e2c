#include "desktopfiles.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// The program's command line: sixfold [Qt options] [--] [FILE]. Qt's own
// options (-platform, -style, ...) are taken by the application object.
void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationVersion(QStringLiteral(SIXFOLD_VERSION));
    parser.setApplicationDescription(QCoreApplication::translate("main", "Classic image filters side by side."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QCoreApplication::translate("main", "The picture to open: a path or a file:// URI."),
                                 QStringLiteral("[--] [FILE]"));
}

// The first option asking for help or the version, which is answered
// without a display; null if none does.
const char *helpAsked(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return option;
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    // Everything after "--" is a FILE, never an option, whatever it looks
    // like: Qt takes its own option names wherever they stand, so neither Qt
    // nor the parser sees it. File names are kept as the bytes given, which
    // need not be text in any encoding.
    int options = argc;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--") == 0) {
            options = i;
            break;
        }
    std::vector<QByteArray> files(argv + std::min(options + 1, argc), argv + argc);

    QCommandLineParser parser;
    describe(parser);
    if (const char *help = helpAsked(options, argv)) {
        // Answered alone: Qt's options beside it mean nothing to a parser
        // without Qt's application object for a display.
        QCoreApplication app(options, argv);
        parser.process({QString::fromLocal8Bit(argv[0]), QString::fromLatin1(help)});   // prints, and ends
    }

    QApplication app(options, argv);   // takes Qt's options out of argv
    // Lets the desktop match the window to its installed entry and icon.
    QGuiApplication::setDesktopFileName("io.sixfold.Sixfold");
    parser.process(app);
    for (int i = options - 1; i >= 1; --i)
        if (argv[i][0] != '-' || argv[i][1] == '\0')
            files.insert(files.begin(), QByteArray(argv[i]));
    if (files.size() > 1) {
        std::fputs(qPrintable(QCoreApplication::translate("main", "sixfold: one picture at a time\n\n")), stderr);
        parser.showHelp(2);
    }
    const std::optional<QByteArray> file = files.empty() ? QByteArray() : sixfold::fileOfArgument(files.front());
    if (!file) {
        std::fputs(qPrintable(QCoreApplication::translate("main", "sixfold: %1 is not a file on this computer\n")
                                  .arg(QString::fromLocal8Bit(files.front()))),
                   stderr);
        return 2;
    }

    MainWindow window;
    window.show();
    // The picture loads once the event loop runs, as if chosen in the dialog.
    if (!file->isEmpty())
        QMetaObject::invokeMethod(&window, [&window, path = *file] { window.openFile(path); }, Qt::QueuedConnection);
    return app.exec();
}
