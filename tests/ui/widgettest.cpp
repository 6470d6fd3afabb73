// The progress window with real widgets on the offscreen platform: its form, the queued
// operations called from another thread, and the two boxes.

#include "widget.h"
#include "fileentry.h"
#include "modalboxcloser.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QTest>

#include <atomic>
#include <cstring>
#include <thread>

class WidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void freshWindow();
    void metaObject();
    void setProgress_data();
    void setProgress();
    void showFileStatus_data();
    void showFileStatus();
    void messageBox_data();
    void messageBox();
    void questionBox_data();
    void questionBox();
};

namespace {

QProgressBar* bar(Widget& window)
{
    return window.findChild<QProgressBar*>(QStringLiteral("progressBar"));
}

QLabel* label(Widget& window)
{
    return window.findChild<QLabel*>(QStringLiteral("label"));
}

} // namespace

void WidgetTest::freshWindow()
{
    Widget window;
    QCOMPARE(window.objectName(), QStringLiteral("Widget"));
    QCOMPARE(window.size(), QSize(268, 99));
    QCOMPARE(window.windowTitle(), QStringLiteral("软件更新"));
    QVERIFY(!window.isVisible());

    auto* grid = qobject_cast<QGridLayout*>(window.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(grid->count(), 2);

    QLabel* text = label(window);
    QVERIFY(text);
    QCOMPARE(text->parentWidget(), &window);
    QCOMPARE(text->text(), QStringLiteral("TextLabel"));
    int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
    grid->getItemPosition(grid->indexOf(text), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(QList<int>({ row, column, rowSpan, columnSpan }), QList<int>({ 0, 0, 1, 1 }));

    auto* row1 = window.findChild<QHBoxLayout*>(QStringLiteral("horizontalLayout"));
    QVERIFY(row1);
    QCOMPARE(row1->spacing(), 6);
    QCOMPARE(grid->itemAtPosition(1, 0)->layout(), row1);
    grid->getItemPosition(grid->indexOf(row1), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(QList<int>({ row, column, rowSpan, columnSpan }), QList<int>({ 1, 0, 1, 1 }));

    QProgressBar* progress = bar(window);
    QVERIFY(progress);
    QCOMPARE(progress->parentWidget(), &window);
    QCOMPARE(row1->count(), 1);
    QCOMPARE(row1->itemAt(0)->widget(), progress);
    QCOMPARE(row1->stretch(0), 0);
    QCOMPARE(row1->itemAt(0)->alignment(), Qt::Alignment());
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(progress->value(), 24);
}

void WidgetTest::metaObject()
{
    const QMetaObject& meta = Widget::staticMetaObject;
    QCOMPARE(meta.className(), "Widget");
    QCOMPARE(meta.superClass(), &QWidget::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);

    const QMetaMethod message = meta.method(meta.methodOffset());
    QCOMPARE(message.methodSignature(), QByteArray("slot_msg_box(QString)"));
    QCOMPARE(message.methodType(), QMetaMethod::Slot);
    QCOMPARE(message.access(), QMetaMethod::Public);
    QCOMPARE(message.parameterNames(), QList<QByteArray>({ "msg" }));

    const QMetaMethod question = meta.method(meta.methodOffset() + 1);
    QCOMPARE(question.methodSignature(), QByteArray("slot_ask_box(QString,QString,QString)"));
    QCOMPARE(question.methodType(), QMetaMethod::Slot);
    QCOMPARE(question.access(), QMetaMethod::Public);
    QCOMPARE(question.parameterNames(), QList<QByteArray>({ "question", "yes", "no" }));
}

void WidgetTest::setProgress_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::newRow("first-of-three") << 3 << 0;
    QTest::newRow("full") << 3 << 3;
    QTest::newRow("middle") << 5 << 2;
    // Past the bar's old maximum of 100: the value only holds if the range arrived first.
    QTest::newRow("range-before-value") << 200 << 150;
}

void WidgetTest::setProgress()
{
    QFETCH(int, maximum);
    QFETCH(int, value);
    Widget window;
    std::thread worker([&] { window.setProgress(maximum, value); });
    worker.join();
    // Queued: nothing happened to the bar while the GUI thread ran no events.
    QCOMPARE(bar(window)->maximum(), 100);
    QCOMPARE(bar(window)->value(), 24);

    QTRY_COMPARE(bar(window)->value(), value);
    QCOMPARE(bar(window)->minimum(), 0);
    QCOMPARE(bar(window)->maximum(), maximum);
}

void WidgetTest::showFileStatus_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("debugLine");
    QTest::newRow("nodo") << int(NoDo) << QByteArray("bin/app.dll")
                          << QStringLiteral("更新文件名: bin/app.dll ")
                          << QStringLiteral("NoDo  :  \"bin/app.dll\" ");
    QTest::newRow("updating") << int(Updating) << QByteArray("a.dll") << QStringLiteral("更新文件名: a.dll ")
                              << QStringLiteral("Updating  :  \"a.dll\" ");
    QTest::newRow("downloaded") << int(Downloaded) << QByteArray("lib/x.so")
                                << QStringLiteral("更新文件名: lib/x.so ")
                                << QStringLiteral("Downloaded  :  \"lib/x.so\" ");
    QTest::newRow("state-without-name") << 7 << QByteArray("a.dll") << QStringLiteral("更新文件名: a.dll ")
                                        << QStringLiteral("  :  \"a.dll\" ");
    QTest::newRow("utf8-path") << int(NoDo) << QByteArray("插件/新.dll")
                               << QStringLiteral("更新文件名: 插件/新.dll ")
                               << QStringLiteral("NoDo  :  \"插件/新.dll\" ");
    QTest::newRow("percent-in-path") << int(NoDo) << QByteArray("%1%2.dll")
                                     << QStringLiteral("更新文件名: %1%2.dll ")
                                     << QStringLiteral("NoDo  :  \"%1%2.dll\" ");
}

void WidgetTest::showFileStatus()
{
    QFETCH(int, state);
    QFETCH(QByteArray, file);
    QFETCH(QString, firstLine);
    QFETCH(QString, debugLine);
    Widget window;
    FileEntry entry;
    entry.action = Changed;
    entry.state = state;
    std::strncpy(entry.file, file.constData(), FilePathSize - 1);

    QTest::ignoreMessage(QtDebugMsg, debugLine.toUtf8().constData());
    std::thread worker([&] { window.showFileStatus(&entry); });
    worker.join();
    QCOMPARE(label(window)->text(), QStringLiteral("TextLabel"));
    // The text was built before the call returned; the entry may change afterwards.
    std::strcpy(entry.file, "changed-afterwards");

    const QString expected = firstLine + QStringLiteral("\n更新状态: 正下载 ... \n");
    QTRY_COMPARE(label(window)->text(), expected);
    QCOMPARE(label(window)->text().split(QLatin1Char('\n')),
        QStringList({ firstLine, QStringLiteral("更新状态: 正下载 ... "), QString() }));
}

void WidgetTest::messageBox_data()
{
    QTest::addColumn<bool>("fromWorker");
    QTest::newRow("worker-thread-blocks") << true;
    QTest::newRow("gui-thread-runs-directly") << false;
}

void WidgetTest::messageBox()
{
    QFETCH(bool, fromWorker);
    Widget window;
    window.show();
    std::atomic<bool> returned { false };
    bool returnedWhileShown = true;
    ModalBoxCloser closer;
    closer.onBox([&](const SeenBox&) { returnedWhileShown = returned.load(); });

    const QString text = QStringLiteral("升级成功，请重启软件：Host.exe");
    if (fromWorker) {
        std::thread worker([&] {
            window.showMessage(text);
            returned = true;
        });
        QTRY_VERIFY(returned.load());
        worker.join();
    } else {
        window.showMessage(text);
        returned = true;
    }

    QCOMPARE(closer.boxes().size(), 1);
    const SeenBox& box = closer.boxes().first();
    QVERIFY(!returnedWhileShown);
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QStringList({ QStringLiteral("确定") }));
    QCOMPARE(box.defaultButton, 0);
    QCOMPARE(box.escapeButton, -1);
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.parent, &window);
}

void WidgetTest::questionBox_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("expected");
    QTest::newRow("yes-clicked") << int(ModalBoxCloser::ClickButton) << 0 << 0;
    QTest::newRow("no-clicked") << int(ModalBoxCloser::ClickButton) << 1 << 1;
    QTest::newRow("escape-answers-1") << int(ModalBoxCloser::PressEscape) << -1 << 1;
    QTest::newRow("return-takes-default-yes") << int(ModalBoxCloser::PressReturn) << -1 << 0;
}

void WidgetTest::questionBox()
{
    QFETCH(int, answer);
    QFETCH(int, button);
    QFETCH(int, expected);
    Widget window;
    window.show();
    ModalBoxCloser closer(ModalBoxCloser::Answer(answer), button);

    std::atomic<int> result { -2 };
    std::thread worker([&] {
        result = window.askQuestion(QStringLiteral("继续吗？"), QStringLiteral("是"), QStringLiteral("否"));
    });
    QTRY_VERIFY(result.load() != -2);
    worker.join();

    QCOMPARE(result.load(), expected);
    QCOMPARE(closer.boxes().size(), 1);
    const SeenBox& box = closer.boxes().first();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, QStringLiteral("继续吗？"));
    QCOMPARE(box.buttons, QStringList({ QStringLiteral("是"), QStringLiteral("否") }));
    QCOMPARE(box.defaultButton, 0);
    QCOMPARE(box.escapeButton, 1);
    QCOMPARE(box.icon, QMessageBox::Question);
    QCOMPARE(box.parent, &window);
}

QTEST_MAIN(WidgetTest)
#include "widgettest.moc"
