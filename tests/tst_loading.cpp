// Loading a file through the real file dialog into the window.

#include "desktopfiles.h"
#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QApplication>
#include <QDir>
#include <QGraphicsScene>
#include <QDropEvent>
#include <QGraphicsView>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

using support::loadThroughDialog;

class TestLoading : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void cleanup()
    {
        QDir::setCurrent(dir.path());   // a row may leave it deleted
        // Folders too deep or too locked for QDir to remove.
        QProcess::execute("sh", {"-c", "cd \"$0\" && chmod 755 locked 2> /dev/null; rm -rf deep locked", dir.path()});
    }
    void cleanupTestCase() { QProcess::execute("rm", {"-rf", "--", dir.path()}); }   // Latin-1 names, which QDir cannot
    void anySizeFillsThePanel_data();
    void anySizeFillsThePanel();
    void coloursKeepTheirPlace_data();
    void coloursKeepTheirPlace();
    void grayFileLoadsAsColour();
    void cancelKeepsEverything();
    void unreadableFileChangesNothing_data();
    void unreadableFileChangesNothing();
    void replacedScenesAreReleased();
    void fileArgumentLoads_data();
    void fileArgumentLoads();
    void programTakesItsFile_data();
    void programTakesItsFile();
    void droppedFileLoads_data();
    void droppedFileLoads();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestLoading::anySizeFillsThePanel_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("panel size") << QSize(256, 192);
    QTest::newRow("small square") << QSize(10, 10);
    QTest::newRow("single pixel") << QSize(1, 1);
    QTest::newRow("very wide") << QSize(3000, 12);
    QTest::newRow("very tall") << QSize(12, 3000);
    QTest::newRow("odd size larger") << QSize(1001, 333);
    QTest::newRow("exactly twice the panel") << QSize(512, 384);
}

void TestLoading::anySizeFillsThePanel()
{
    QFETCH(QSize, size);
    const cv::Mat picture = support::photoLike(size.width(), size.height());
    const QString file = support::writeImage(path("any.png"), picture);

    MainWindow window;
    QCOMPARE(loadThroughDialog(window, file), QByteArray());
    QCOMPARE(window.chosenPath(), file);

    // Stretched or squeezed to 256 x 192, never cropped: every view is the
    // whole picture scaled.
    const std::vector<cv::Mat> shown = support::viewPictures(window);
    const std::vector<cv::Mat> expected = support::expectedViews(picture);
    QCOMPARE(shown[0].cols, 256);
    QCOMPARE(shown[0].rows, 192);
    QVERIFY(support::samePixels(shown[0], expected[0]));
    QVERIFY(support::samePictures(shown, expected));
    QVERIFY(support::samePixels(window.panelImage(), expected[0]));
}

void TestLoading::coloursKeepTheirPlace_data()
{
    QTest::addColumn<cv::Scalar>("bgr");
    QTest::addColumn<cv::Vec3b>("rgb");
    QTest::newRow("red stays red") << cv::Scalar(0, 0, 255) << cv::Vec3b(255, 0, 0);
    QTest::newRow("green stays green") << cv::Scalar(0, 255, 0) << cv::Vec3b(0, 255, 0);
    QTest::newRow("blue stays blue") << cv::Scalar(255, 0, 0) << cv::Vec3b(0, 0, 255);
}

void TestLoading::coloursKeepTheirPlace()
{
    QFETCH(cv::Scalar, bgr);
    QFETCH(cv::Vec3b, rgb);
    const QString file = support::writeImage(path("colour.png"), cv::Mat(50, 70, CV_8UC3, bgr));
    MainWindow window;
    loadThroughDialog(window, file);
    const cv::Mat origin = support::viewRgb(window.form().origin);
    QVERIFY(support::samePixels(origin, cv::Mat(192, 256, CV_8UC3, cv::Scalar(rgb[0], rgb[1], rgb[2]))));
}

void TestLoading::grayFileLoadsAsColour()
{
    cv::Mat gray(100, 80, CV_8UC1);
    cv::randu(gray, 0, 256);
    const QString file = support::writeImage(path("gray.png"), gray);
    MainWindow window;
    QCOMPARE(loadThroughDialog(window, file), QByteArray());
    cv::Mat asColour;
    cv::cvtColor(gray, asColour, cv::COLOR_GRAY2BGR);
    QVERIFY(support::samePictures(support::viewPictures(window), support::expectedViews(asColour)));
}

void TestLoading::cancelKeepsEverything()
{
    MainWindow window;
    // Cancelling before anything was loaded leaves the views empty.
    QCOMPARE(loadThroughDialog(window, QString()), QByteArray());
    QVERIFY(window.chosenPath().isEmpty());
    QVERIFY(!window.form().origin->scene());

    const QString file = support::writeImage(path("cancel.png"), support::photoLike(300, 200));
    loadThroughDialog(window, file);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat panel = window.panelImage().clone();

    QCOMPARE(loadThroughDialog(window, QString()), QByteArray());
    QVERIFY(window.chosenPath().isEmpty());
    QVERIFY(support::samePictures(support::viewPictures(window), before));
    QVERIFY(support::samePixels(window.panelImage(), panel));
}

void TestLoading::unreadableFileChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray wholePng = support::encoded(".png", support::photoLike(64, 48));

    QTest::newRow("plain text") << "notes.txt" << QByteArray("not a picture\n");
    QTest::newRow("empty file") << "empty.png" << QByteArray();
    QTest::newRow("truncated png") << "cut.png" << wholePng.left(wholePng.size() / 2);
    QTest::newRow("png header declaring a huge size")
        << "huge.png"
        << support::pngHeader(100000, 100000) + support::pngChunk("IDAT", qCompress(QByteArray(64, '\0')).mid(4));
    QTest::newRow("huge size in a text file")
        << "huge.txt" << QByteArray("P6\n200000 200000\n255\n") + QByteArray(64, '\0');
}

void TestLoading::unreadableFileChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);

    MainWindow window;
    const QString good = support::writeImage(path("good.png"), support::photoLike(120, 90));
    loadThroughDialog(window, good);
    const std::vector<cv::Mat> before = support::viewPictures(window);
    const cv::Mat panel = window.panelImage().clone();

    const QString bad = support::writeBytes(path(name), bytes);
    QCOMPARE(loadThroughDialog(window, bad), support::failureLine);
    QCOMPARE(window.chosenPath(), bad);
    QVERIFY(support::samePictures(support::viewPictures(window), before));
    QVERIFY(support::samePixels(window.panelImage(), panel));

    // The window goes on working.
    QCOMPARE(loadThroughDialog(window, good), QByteArray());
    QCOMPARE(window.chosenPath(), good);
}

void TestLoading::replacedScenesAreReleased()
{
    MainWindow window;
    const QString file = support::writeImage(path("again.png"), support::photoLike(64, 64));
    QList<QPointer<QGraphicsScene>> seen;
    for (int i = 0; i < 5; ++i) {
        loadThroughDialog(window, file);
        for (const QGraphicsView *view : window.findChildren<QGraphicsView *>())
            seen << view->scene();
    }
    QCOMPARE(seen.size(), 30);
    int live = 0;
    for (const auto &scene : seen)
        live += !scene.isNull();
    QCOMPARE(live, 6);
}

namespace {

// Writes a file under a name given as raw bytes, which a QString may not
// hold.
void writeRaw(const QByteArray &path, const QByteArray &bytes)
{
    std::FILE *file = std::fopen(path.constData(), "wb");
    QVERIFY(file && std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size()));
    std::fclose(file);
}

} // namespace

void TestLoading::fileArgumentLoads_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("file");   // the path it names, as bytes; empty: refused
    QTest::addColumn<bool>("exists");
    const QByteArray folder = QFile::encodeName(path("相簿 2/"));
    const QByteArray photo = folder + "a photo é.png", latin1 = folder + "n\xe9 latin1.png";
    QTest::newRow("a path with blanks and non-ASCII") << photo << photo << true;
    QTest::newRow("its file URI, percent-encoded") << "file://" + photo.toPercentEncoding("/") << photo << true;
    QTest::newRow("its file URI on localhost") << "file://localhost" + photo.toPercentEncoding("/") << photo << true;
    QTest::newRow("a Latin-1 name as raw bytes") << latin1 << latin1 << true;
    QTest::newRow("its URI, percent-encoded Latin-1") << "file://" + latin1.toPercentEncoding("/") << latin1 << true;
    QTest::newRow("a file named file:x.png") << QByteArray("file:x.png") << QByteArray("file:x.png") << true;
    QTest::newRow("a relative name, opened from the current folder") << QByteArray("a photo é.png")
                                                                      << QByteArray("a photo é.png") << true;
    QTest::newRow("a missing file") << folder + "gone é.png" << folder + "gone é.png" << false;
    QTest::newRow("a file URI of another host") << "file://otherhost" + photo << QByteArray() << false;
    const QByteArray encoded = photo.toPercentEncoding("/");
    QTest::newRow("its URI, the scheme in capitals") << "FILE://" + encoded << photo << true;
    QTest::newRow("its URI on this machine's host name")
        << "file://" + QSysInfo::machineHostName().toUpper().toUtf8() + encoded << photo << true;
    QTest::newRow("an escaped NUL, refused") << "file://" + encoded + "%00.png" << QByteArray() << false;
    QTest::newRow("an escape of no digits, refused") << "file://" + encoded + "%zz" << QByteArray() << false;
    QTest::newRow("an escape cut short, refused") << "file://" + encoded + "%4" << QByteArray() << false;
    QTest::newRow("an escape of one digit, refused") << "file://" + encoded + "%4g" << QByteArray() << false;
    QTest::newRow("an escaped slash, refused") << "file://" + folder.toPercentEncoding("/") + "a%2Fb.png"
                                               << QByteArray() << false;
    QTest::newRow("its URI, escapes in lower case")
        << "file://" + latin1.toPercentEncoding("/").replace("%E9", "%e9") << latin1 << true;
    QTest::newRow("its URI in the short form, file:/path") << "file:" + encoded << photo << true;
    QTest::newRow("its URI with a fragment") << "file://" + encoded + "#page=2" << photo << true;
    QTest::newRow("its URI on LOCALHOST") << "file://LOCALHOST" + encoded << photo << true;
    QTest::newRow("a URI naming file:x.png, its colon escaped")
        << "file://" + (folder + "file:x.png").toPercentEncoding("/") << folder + "file:x.png" << true;
    for (const char *bare : {"file:", "file://", "file://localhost"})
        QTest::addRow("%s with no path, refused", bare) << QByteArray(bare) << QByteArray() << false;
}

void TestLoading::fileArgumentLoads()
{
    // The load the program starts with, from its argument, relative to the
    // current folder.
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, file);
    QFETCH(bool, exists);
    const cv::Mat picture = support::photoLike(90, 70);
    const QByteArray folder = QFile::encodeName(path("相簿 2/"));
    QDir().mkpath(path("相簿 2"));
    for (const char *name : {"a photo é.png", "n\xe9 latin1.png", "file:x.png"})
        writeRaw(folder + name, support::encoded(".png", picture));
    QVERIFY(QDir::setCurrent(path("相簿 2")));
    const std::optional<QByteArray> named = sixfold::fileOfArgument(argument);
    QCOMPARE(named.value_or(QByteArray()), file);
    if (!named)
        return;
    MainWindow window;
    const QByteArray out = support::captureStdout([&] { window.openFile(*named); });
    QCOMPARE(out, exists ? QByteArray() : support::failureLine);
    QCOMPARE(window.chosenPath(), QFile::decodeName(file));
    QVERIFY(exists ? support::showsLoadOf(window, picture) : !window.form().origin->scene());
}

void TestLoading::programTakesItsFile_data()
{
    // The arguments after the platform's, as bytes, what the program
    // prints (first), and the status it ends with (-1: it keeps running).
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("before");   // what the shell does before it starts the program
    const QByteArray latin1 = QFile::encodeName(path("n")) + "\xe9 latin1.png";
    QTest::newRow("-- before a Qt option's name") << QByteArrayList{"--", "-reverse"} << "offscreen"
                                                  << support::failureLine << -1 << QString();
    QTest::newRow("-- before -h") << QByteArrayList{"--", "-h"} << "offscreen" << support::failureLine << -1
                                  << QString();
    QTest::newRow("a Latin-1 name as raw bytes") << QByteArrayList{latin1} << "offscreen" << QByteArray() << -1
                                                 << QString();
    QTest::newRow("help after a Qt option") << QByteArrayList{"-h"} << "offscreen" << QByteArray("Usage:") << 0
                                            << QString();
    QTest::newRow("a file URI of another host")
        << QByteArrayList{"file://otherhost/" + latin1.toPercentEncoding("/")} << "offscreen" << QByteArray() << 2
        << QString();
    QTest::newRow("a file URI with an escaped NUL") << QByteArrayList{"file://" + latin1.toPercentEncoding("/") + "%00"}
                                                    << "offscreen" << QByteArray() << 2 << QString();
    QTest::newRow("a relative name from a deleted folder") << QByteArrayList{"picture.png"} << "offscreen"
                                                           << support::failureLine << -1
                                                           << "mkdir gone && cd gone && rmdir ../gone && ";
    // Opened from the folder itself, whose own name is too long to open.
    QTest::newRow("a relative name from a folder of 5,000 characters")
        << QByteArrayList{"picture.png"} << "offscreen" << QByteArray() << -1
        << "picture=$PWD/picture.png && mkdir deep && cd deep && "
           "for _ in {1..20}; do mkdir d$(printf %0250d 0) && cd d$(printf %0250d 0); done && cp \"$picture\" . && ";
    // As an ordinary user, for whom the folder above cannot be searched;
    // root searches it all the same.
    QTest::newRow("a relative name from a folder inside one that cannot be searched")
        << QByteArrayList{"picture.png"} << "offscreen" << QByteArray() << -1
        << "mkdir -p locked/here && cp picture.png locked/here && cd locked/here && chmod 000 .. && "
           "nobody='setpriv --reuid=65534 --regid=65534 --clear-groups' && "
           "if [ $(id -u) = 0 ] && $nobody test -x \"$0\"; then user=$nobody; fi; ";
    // OpenCV would end the program as its codecs load.
    QTest::newRow("a BMP with a size OpenCV cannot read in its environment")
        << QByteArrayList{"picture.bmp"} << "offscreen" << support::failureLine << -1
        << "export OPENCV_IO_MAX_IMAGE_PIXELS=12XB; ";
    QTest::newRow("wayland, a picture") << QByteArrayList{latin1} << "wayland" << QByteArray() << -1 << QString();
    QTest::newRow("wayland, a missing file") << QByteArrayList{"gone.png"} << "wayland" << support::failureLine << -1
                                             << QString();
}

void TestLoading::programTakesItsFile()
{
    QFETCH(QByteArrayList, arguments);
    QFETCH(QString, platform);
    QFETCH(QByteArray, out);
    QFETCH(int, status);
    QFETCH(QString, before);
    writeRaw(QFile::encodeName(path("n")) + "\xe9 latin1.png", support::encoded(".png", support::photoLike(40, 30)));
    support::writeBytes(path("picture.png"), support::encoded(".png", support::photoLike(40, 30)));
    support::writeBytes(path("picture.bmp"), support::encoded(".bmp", support::photoLike(40, 30)));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QProcess weston;
    const QTemporaryDir runtime;
    if (platform == "wayland") {
        // A headless compositor of its own.
        const QString compositor = QStandardPaths::findExecutable("weston");
        if (compositor.isEmpty())
            QSKIP("weston is not installed");
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        weston.setProcessEnvironment(environment);
        weston.start(compositor, {"--backend=headless-backend.so", "--socket=sixfold-test", "--idle-time=0"});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.filePath("sixfold-test")), 20000);
        environment.insert("WAYLAND_DISPLAY", "sixfold-test");
    }
    // Through bash, which passes bytes that are no UTF-8 as they are.
    QString command = before + "exec $user \"$0\" -platform " + platform;
    for (const QByteArray &argument : arguments) {
        command += " $'";
        for (const char c : argument)
            command += QString("\\x%1").arg(uchar(c), 2, 16, QChar('0'));
        command += "'";
    }
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(dir.path());
    program.start("bash", {"-c", command, QCoreApplication::applicationDirPath() + "/sixfold"});
    if (status >= 0) {
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), status);
        QVERIFY(program.readAllStandardOutput().startsWith(out));
        QCOMPARE(program.readAllStandardError().count("sixfold: "), status ? 1 : 0);   // one line of its own
    } else {
        QByteArray printed;
        if (out.isEmpty())
            QTest::qWait(2000);   // time enough for a failure line
        else
            QTRY_COMPARE_WITH_TIMEOUT(printed += program.readAllStandardOutput(), out, 20000);
        QCOMPARE(printed + program.readAllStandardOutput(), out);
        QCOMPARE(program.state(), QProcess::Running);
        QVERIFY(!program.readAllStandardError().contains("already"));   // the parser described twice
        program.kill();
        program.waitForFinished();
    }
    weston.kill();
    weston.waitForFinished();
}

void TestLoading::droppedFileLoads_data()
{
    QTest::addColumn<QByteArray>("uris");   // a text/uri-list; empty: none
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<bool>("overView");   // over a view showing a picture, which takes drags itself
    QTest::addColumn<bool>("folderGone");   // dropped while the current folder is deleted
    const QByteArray good = QUrl::fromLocalFile(path("drop/good.png")).toEncoded();
    const QByteArray bad = QUrl::fromLocalFile(path("drop/bad.png")).toEncoded();
    QTest::newRow("one picture") << good << QString() << true << false << false;
    QTest::newRow("one picture, over a view") << good << QString() << true << true << false;
    QTest::newRow("one picture of a Latin-1 name")
        << "# a comment\r\n" + (QFile::encodeName(path("drop/n")) + "\xe9.png").toPercentEncoding("/").prepend("file://")
        << QString() << true << false << false;
    QTest::newRow("one unreadable file") << bad << QString() << true << false << false;
    QTest::newRow("text naming a picture") << QByteArray() << path("drop/good.png") << true << false << false;
    QTest::newRow("two pictures") << good + "\r\n" + good << QString() << false << false << false;
    QTest::newRow("a remote URL") << QByteArray("https://example.com/good.png") << QString() << false << false << false;
    QTest::newRow("a file URL of another host") << "file://otherhost" + path("drop/good.png").toUtf8() << QString()
                                                << false << false << false;
    QTest::newRow("text that is no file") << QByteArray() << QString("just words") << false << false << false;
    QTest::newRow("a file URL of this machine's host name")
        << "file://" + QSysInfo::machineHostName().toUtf8() + good.mid(7) << QString() << true << false << false;
    QTest::newRow("a file URL with an escaped NUL") << good + "%00.txt" << QString() << false << false << false;
    QTest::newRow("text of a relative name, the current folder deleted") << QByteArray() << QString("good.png")
                                                                         << false << false << true;
    QTest::newRow("a file URL with no path") << QByteArray("file://") << QString() << false << false << false;
    QTest::newRow("text naming a picture, a NUL within it")
        << QByteArray() << path("drop/good.png") + QChar(0) + ".txt" << false << false << false;
}

void TestLoading::droppedFileLoads()
{
    QFETCH(QByteArray, uris);
    QFETCH(QString, text);
    QFETCH(bool, taken);
    QFETCH(bool, overView);
    QFETCH(bool, folderGone);
    const cv::Mat picture = support::photoLike(80, 60, 4);
    support::writeBytes(path("drop/good.png"), support::encoded(".png", picture));
    writeRaw(QFile::encodeName(path("drop/n")) + "\xe9.png", support::encoded(".png", picture));
    support::writeBytes(path("drop/bad.png"), "not a picture");
    MainWindow window;
    const QString before = support::writeImage(path("before.png"), support::photoLike(50, 40));
    window.openImage(before);
    const std::vector<cv::Mat> shown = support::viewPictures(window);

    QMimeData data;
    if (!uris.isEmpty())
        data.setData("text/uri-list", uris);
    if (!text.isEmpty())
        data.setText(text);
    QWidget *target = overView ? window.form().origin->viewport() : static_cast<QWidget *>(&window);
    // Shift held: file managers then propose a move.
    if (folderGone) {
        QVERIFY(QDir(path("drop")).mkpath("gone") && QDir::setCurrent(path("drop/gone")));
        QVERIFY(QDir(path("drop")).rmdir("gone"));
    }
    QDragEnterEvent enter(QPoint(40, 30), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(target, &enter);
    QCOMPARE(enter.isAccepted(), taken);
    QDropEvent drop(QPointF(40, 30), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
    const QByteArray out = support::captureStdout([&] {
        QApplication::sendEvent(target, &drop);
        QCoreApplication::processEvents();   // the load, once the drop is over
    });
    // Taken as a copy, so that the file manager keeps its file.
    QCOMPARE(drop.isAccepted() && drop.dropAction() == Qt::CopyAction, taken);
    const bool loads = taken && !uris.contains("bad.png");
    QCOMPARE(out, taken && !loads ? support::failureLine : QByteArray());
    QVERIFY(loads ? support::showsLoadOf(window, picture) : support::samePictures(support::viewPictures(window), shown));
}

QTEST_MAIN(TestLoading)
#include "tst_loading.moc"
