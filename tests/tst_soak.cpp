// Long use of one window: memory and the number of live scenes stay flat.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QElapsedTimer>
#include <QPixmapCache>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <malloc.h>
#include <string>

namespace {

// Resident memory in kB, after handing freed memory back.
long residentKb()
{
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

private slots:
    void manyLoadsAndRedraws();
};

void TestSoak::manyLoadsAndRedraws()
{
    QTemporaryDir dir;
    // Good files of several sizes and formats, an unreadable one and a
    // cancelled dialog, in turn.
    const QStringList choices = {
        support::writeImage(dir.filePath("a.png"), support::photoLike(640, 480, 1)),
        support::writeImage(dir.filePath("b.jpg"), support::photoLike(1200, 900, 2)),
        support::writeBytes(dir.filePath("bad.png"), "not a picture"),
        support::writeImage(dir.filePath("c.png"), support::photoLike(100, 700, 3)),
        QString(),
    };

    // The style keeps renderings of every new file dialog in Qt's pixmap
    // cache until it reaches its limit (10 MB by default), which would take
    // longer than this test. A smaller limit lets the cache reach that
    // steady state during the warm-up.
    QPixmapCache::setCacheLimit(1024);

    MainWindow window;
    QSpinBox *spin = window.form().spinBox;
    QList<QPointer<QGraphicsScene>> scenes;
    auto liveScenes = [&] {
        for (const QGraphicsView *view : window.findChildren<QGraphicsView *>())
            if (!scenes.contains(view->scene()))
                scenes << view->scene();
        int live = 0;
        for (const auto &scene : scenes)
            live += !scene.isNull();
        return live;
    };

    const int loads = 300, changesPerLoad = 10;
    const int warmUp = 100;
    long settled = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < loads; ++i) {
        support::loadThroughDialog(window, choices[i % choices.size()]);
        for (int k = 0; k < changesPerLoad; ++k)
            spin->setValue(1 + 2 * ((i * changesPerLoad + k) % 18));
        QCOMPARE(liveScenes(), 6);
        if (i + 1 == warmUp)
            settled = residentKb();
    }
    const long grown = residentKb() - settled;
    qInfo("%d loads and %d kernel changes in %lld ms; resident memory grew %ld kB after warm-up",
          loads, loads * changesPerLoad, clock.elapsed(), grown);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer holds freed memory in quarantine, so resident memory
    // says nothing here; LeakSanitizer checks for leaks at exit instead.
    Q_UNUSED(grown)
#else
    QVERIFY2(grown < 2048, qPrintable(QString("grew %1 kB").arg(grown)));
#endif
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
