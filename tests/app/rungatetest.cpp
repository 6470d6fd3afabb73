// The end of a run between the two threads: no box and no end request once the gate is
// closed, and a box request caught between the end of the loop and the close is dropped
// without blocking either thread.

#include "rungate.h"
#include "modalboxcloser.h"
#include "widget.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

class RunGateTest : public QObject
{
    Q_OBJECT

private slots:
    void boxWhileOpenIsShown();
    void boxPostedAfterLoopEndedIsDropped();
    void closedGateShowsNothing();
    void endLoop_data();
    void endLoop();
    void endRequestDoesNotOutliveItsRun();
};

namespace {

// Runs the event loop until something ends it; a timer ends it with `fallback` otherwise.
int execWithFallback(int fallback, int ms = 200)
{
    QObject owner;
    QTimer::singleShot(ms, &owner, [fallback] { QCoreApplication::exit(fallback); });
    return QApplication::exec();
}

} // namespace

void RunGateTest::boxWhileOpenIsShown()
{
    Widget window;
    window.show();
    RunGate gate;
    ModalBoxCloser closer;
    std::atomic<int> shown { -1 };
    std::thread worker([&] { shown = gate.showBox([&] { window.showMessage(QStringLiteral("open")); }); });
    QTRY_COMPARE(shown.load(), 1);
    worker.join();
    QCOMPARE(closer.texts(), QStringList({ QStringLiteral("open") }));
}

void RunGateTest::boxPostedAfterLoopEndedIsDropped()
{
    Widget window;
    window.show();
    RunGate gate;
    std::atomic<bool> requesting { false };
    std::atomic<int> shown { -1 };
    // No event loop runs on this thread while the worker asks for its box, as after exec().
    std::thread worker([&] {
        shown = gate.showBox([&] {
            requesting = true;
            window.showMessage(QStringLiteral("too late"));
        });
    });
    while (!requesting.load()) {
        std::this_thread::yield();
    }
    gate.close(&window);
    worker.join();
    QCOMPARE(shown.load(), 1);

    ModalBoxCloser closer;
    QTest::qWait(50);
    QVERIFY(closer.boxes().isEmpty());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

void RunGateTest::closedGateShowsNothing()
{
    Widget window;
    RunGate gate;
    QVERIFY(gate.isOpen());
    gate.close(&window);
    QVERIFY(!gate.isOpen());
    bool ran = false;
    std::atomic<int> shown { -1 };
    std::thread worker([&] { shown = gate.showBox([&] { ran = true; }); });
    worker.join();
    QCOMPARE(shown.load(), 0);
    QVERIFY(!ran);
}

void RunGateTest::endLoop_data()
{
    QTest::addColumn<bool>("closedFirst");
    QTest::addColumn<int>("loopResult");
    QTest::newRow("open-ends-with-0") << false << 0;
    QTest::newRow("closed-ends-nothing") << true << 7;
}

void RunGateTest::endLoop()
{
    QFETCH(bool, closedFirst);
    QFETCH(int, loopResult);
    Widget window;
    RunGate gate;
    if (closedFirst) {
        gate.close(&window);
    }
    std::thread worker([&] { gate.endLoop(); });
    worker.join();
    QCOMPARE(execWithFallback(7), loopResult);
}

void RunGateTest::endRequestDoesNotOutliveItsRun()
{
    // The loop of a run ended another way while its end request was on its way.
    auto gate = std::make_unique<RunGate>();
    std::thread worker([&] { gate->endLoop(); });
    worker.join();
    gate.reset();
    QCOMPARE(execWithFallback(7), 7);
}

QTEST_MAIN(RunGateTest)
#include "rungatetest.moc"
