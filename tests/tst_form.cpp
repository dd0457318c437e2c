// The window as built: its class, its widgets, their texts and settings.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QApplication>
#include <QGraphicsView>
#include <QLabel>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasTheTwoHandlers();
    void widgets_data();
    void widgets();
    void objectNamesAreUnique();
    void texts_data();
    void texts();
    void spinBoxSettings();
    void spinBoxSteps_data();
    void spinBoxSteps();
    void typedValuesIncludeEvenOnes();
    void buildingRunsNoHandler();
    void windowObjectName_data();
    void windowObjectName();
    void widgetsKeepTheirPlaceOnResize();
    void emptyRunWritesNothing();
};

void TestForm::metaObjectHasTheTwoHandlers()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);

    QList<QMetaMethod> own;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        own << meta.method(i);
    QCOMPARE(own.size(), 2);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());

    QCOMPARE(own[0].methodSignature(), QByteArray("on_pushButton_clicked()"));
    QCOMPARE(own[1].methodSignature(), QByteArray("on_spinBox_valueChanged(int)"));
    QCOMPARE(own[1].parameterNames(), QList<QByteArray>{"arg1"});
    for (const QMetaMethod &slot : own) {
        QCOMPARE(slot.methodType(), QMetaMethod::Slot);
        QCOMPARE(slot.access(), QMetaMethod::Private);
        QCOMPARE(slot.returnType(), int(QMetaType::Void));
    }
}

void TestForm::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");

    const QString central = "centralwidget";
    QTest::newRow("origin") << "origin" << QByteArray("QGraphicsView") << central << QRect(10, 40, 241, 191);
    QTest::newRow("label") << "label" << QByteArray("QLabel") << central << QRect(110, 20, 40, 12);
    QTest::newRow("label_2") << "label_2" << QByteArray("QLabel") << central << QRect(380, 10, 81, 21);
    QTest::newRow("label_3") << "label_3" << QByteArray("QLabel") << central << QRect(660, 20, 40, 12);
    QTest::newRow("mygray") << "mygray" << QByteArray("QGraphicsView") << central << QRect(280, 40, 241, 191);
    QTest::newRow("gray") << "gray" << QByteArray("QGraphicsView") << central << QRect(550, 40, 241, 191);
    QTest::newRow("gaussian") << "gaussian" << QByteArray("QGraphicsView") << central << QRect(10, 290, 241, 191);
    QTest::newRow("sobel") << "sobel" << QByteArray("QGraphicsView") << central << QRect(280, 290, 241, 191);
    QTest::newRow("laplacian") << "laplacian" << QByteArray("QGraphicsView") << central << QRect(550, 290, 241, 191);
    QTest::newRow("label_4") << "label_4" << QByteArray("QLabel") << central << QRect(650, 270, 101, 20);
    QTest::newRow("label_5") << "label_5" << QByteArray("QLabel") << central << QRect(380, 270, 61, 16);
    QTest::newRow("label_6") << "label_6" << QByteArray("QLabel") << central << QRect(110, 270, 91, 16);
    QTest::newRow("pushButton") << "pushButton" << QByteArray("QPushButton") << central << QRect(360, 510, 80, 18);
    QTest::newRow("spinBox") << "spinBox" << QByteArray("QSpinBox") << central << QRect(100, 500, 42, 22);
    QTest::newRow("menubar") << "menubar" << QByteArray("QMenuBar") << "MainWindow" << QRect(0, 0, 800, 17);
    QTest::newRow("centralwidget") << "centralwidget" << QByteArray("QWidget") << "MainWindow" << QRect();
    QTest::newRow("statusbar") << "statusbar" << QByteArray("QStatusBar") << "MainWindow" << QRect();
}

void TestForm::widgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    MainWindow window;
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className);
    QCOMPARE(widget->parent()->objectName(), parentName);
    if (geometry.isValid())
        QCOMPARE(widget->geometry(), geometry);

    // The record points at the same widgets.
    const MainWindowUi &ui = window.form();
    const QList<QWidget *> fields = {ui.centralwidget, ui.origin, ui.label, ui.label_2, ui.label_3,
                                     ui.mygray, ui.gray, ui.gaussian, ui.sobel, ui.laplacian,
                                     ui.label_4, ui.label_5, ui.label_6, ui.pushButton, ui.spinBox,
                                     ui.menubar, ui.statusbar};
    QVERIFY(fields.contains(widget));
    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(window.menuBar(), ui.menubar);
    QCOMPARE(window.statusBar(), ui.statusbar);
}

void TestForm::objectNamesAreUnique()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(800, 600));
    QMap<QString, int> count;
    for (const QObject *child : window.findChildren<QObject *>())
        ++count[child->objectName()];
    const QStringList names = {"centralwidget", "origin", "label", "label_2", "label_3", "mygray",
                               "gray", "gaussian", "sobel", "laplacian", "label_4", "label_5",
                               "label_6", "pushButton", "spinBox", "menubar", "statusbar"};
    for (const QString &name : names)
        QVERIFY2(count.value(name) == 1, qPrintable(name));

    // No two widgets inside the central widget overlap.
    const auto inside = window.centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(inside.size(), 14);
    for (int i = 0; i < inside.size(); ++i)
        for (int j = i + 1; j < inside.size(); ++j)
            QVERIFY2(!inside[i]->geometry().intersects(inside[j]->geometry()),
                     qPrintable(inside[i]->objectName() + " / " + inside[j]->objectName()));
    QVERIFY(window.menuBar()->actions().isEmpty());
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

void TestForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("origin caption") << "label" << QString::fromUtf8("原圖");
    QTest::newRow("average gray caption") << "label_2" << QString::fromUtf8("平均灰階");
    QTest::newRow("gray caption") << "label_3" << QString::fromUtf8("灰階");
    QTest::newRow("laplacian caption keeps its blank") << "label_4" << QString("laplacian ");
    QTest::newRow("sobel caption in lower case") << "label_5" << QString("sobel");
    QTest::newRow("Gaussian caption capitalised") << "label_6" << QString("Gaussian");
    QTest::newRow("load button") << "pushButton" << QString::fromUtf8("載入圖片");
}

void TestForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("MainWindow"));
    QObject *widget = window.findChild<QObject *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
}

void TestForm::spinBoxSettings()
{
    MainWindow window;
    const QSpinBox *spin = window.form().spinBox;
    QCOMPARE(spin->value(), 1);
    QCOMPARE(spin->minimum(), 1);
    QCOMPARE(spin->maximum(), 35);
    QCOMPARE(spin->singleStep(), 2);
    QCOMPARE(spin->stepType(), QAbstractSpinBox::DefaultStepType);
    QVERIFY(!spin->wrapping());
    QVERIFY(spin->keyboardTracking());
}

void TestForm::spinBoxSteps_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("expected");
    QTest::newRow("up from 1") << 1 << 1 << 3;
    QTest::newRow("up twice") << 1 << 2 << 5;
    QTest::newRow("stops at 35") << 1 << 40 << 35;
    QTest::newRow("down from 35") << 35 << -1 << 33;
    QTest::newRow("stops at 1") << 35 << -40 << 1;
    QTest::newRow("no wrap below 1") << 1 << -1 << 1;
}

void TestForm::spinBoxSteps()
{
    QFETCH(int, start);
    QFETCH(int, steps);
    QFETCH(int, expected);
    MainWindow window;
    QSpinBox *spin = window.form().spinBox;
    spin->setValue(start);
    spin->stepBy(steps);
    QCOMPARE(spin->value(), expected);
}

void TestForm::typedValuesIncludeEvenOnes()
{
    MainWindow window;
    window.show();
    QSpinBox *spin = window.form().spinBox;
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, "12");
    QCOMPARE(spin->value(), 12);
    spin->selectAll();
    QTest::keyClicks(spin, "40");
    QCOMPARE(spin->value(), 4);   // 40 is out of range; typing stops at 4
}

void TestForm::buildingRunsNoHandler()
{
    // The load handler would open a modal dialog; count any that appears.
    int dialogs = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&dialogs] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            ++dialogs;
            modal->close();
        }
    });
    watch.start(10);
    MainWindow window;
    QTest::qWait(50);
    QCOMPARE(dialogs, 0);
    QVERIFY(!window.form().gaussian->scene());
    QVERIFY(window.lastGaussianImage().empty());
    QVERIFY(window.chosenPath().isEmpty());
    QVERIFY(window.panelImage().empty());

}

void TestForm::windowObjectName_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unnamed window is named") << QString() << "MainWindow";
    QTest::newRow("named window keeps its name") << "viewer" << "viewer";
}

void TestForm::windowObjectName()
{
    QFETCH(QString, preset);
    QFETCH(QString, expected);
    QMainWindow window;
    window.setObjectName(preset);
    MainWindowUi ui{};
    ui.setupForm(&window);
    QCOMPARE(window.objectName(), expected);
    QCOMPARE(window.windowTitle(), QString("MainWindow"));
}

void TestForm::widgetsKeepTheirPlaceOnResize()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto inside = window.centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QList<QRect> before;
    for (const QWidget *w : inside)
        before << w->geometry();
    const int menuWidth = window.menuBar()->width();

    window.resize(1200, 900);
    QTRY_COMPARE(window.menuBar()->width(), 1200);
    QVERIFY(window.menuBar()->width() != menuWidth);
    QVERIFY(window.centralWidget()->width() > 800);
    for (int i = 0; i < inside.size(); ++i)
        QCOMPARE(inside[i]->geometry(), before[i]);
}

void TestForm::emptyRunWritesNothing()
{
    int result = -1;
    const QByteArray out = support::captureStdout([&result] {
        MainWindow window;
        window.show();
        QTimer::singleShot(0, &window, &QWidget::close);
        result = QApplication::exec();
    });
    QCOMPARE(result, 0);
    QCOMPARE(out, QByteArray());
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
