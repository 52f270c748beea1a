#include "pacedwait.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

class TestPacedWait : public QObject
{
    Q_OBJECT

private slots:
    void lastsAtLeastTheGivenTime_data();
    void lastsAtLeastTheGivenTime();
    void processesEventsWhileWaiting();
    void nothingToWaitFor_data();
    void nothingToWaitFor();
    void nestedWaitsBothComplete();
};

void TestPacedWait::lastsAtLeastTheGivenTime_data()
{
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("1 ms") << 1;
    QTest::newRow("50 ms") << 50;
    QTest::newRow("200 ms") << 200;
    QTest::newRow("300 ms") << 300;
}

void TestPacedWait::lastsAtLeastTheGivenTime()
{
    QFETCH(int, milliseconds);
    QElapsedTimer clock;
    clock.start();
    pacedWait(milliseconds);
    QVERIFY2(clock.nsecsElapsed() >= qint64(milliseconds) * 1'000'000,
             qPrintable(QStringLiteral("returned after %1 ns").arg(clock.nsecsElapsed())));
}

void TestPacedWait::processesEventsWhileWaiting()
{
    int timerShots = 0;
    bool posted = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++timerShots; });
    timer.start(10);
    QMetaObject::invokeMethod(
        this, [&] { posted = true; }, Qt::QueuedConnection);
    pacedWait(120);
    timer.stop();
    QVERIFY(posted);
    QVERIFY2(timerShots >= 2, qPrintable(QString::number(timerShots)));
}

void TestPacedWait::nothingToWaitFor_data()
{
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -5;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TestPacedWait::nothingToWaitFor()
{
    QFETCH(int, milliseconds);
    bool posted = false;
    QMetaObject::invokeMethod(
        this, [&] { posted = true; }, Qt::QueuedConnection);
    pacedWait(milliseconds);
    QVERIFY2(!posted, "a wait of nothing must not process events");
    QCoreApplication::processEvents();
    QVERIFY(posted);
}

void TestPacedWait::nestedWaitsBothComplete()
{
    // A handler run during the outer wait starts a longer wait of its own: the outer wait
    // returns only after the inner one, and no earlier than its own deadline.
    QElapsedTimer clock;
    clock.start();
    qint64 innerDoneAt = -1;
    QTimer::singleShot(20, this, [&] {
        pacedWait(150);
        innerDoneAt = clock.nsecsElapsed();
    });
    pacedWait(60);
    const qint64 outerDoneAt = clock.nsecsElapsed();
    QVERIFY(innerDoneAt > 0);
    QVERIFY(outerDoneAt >= innerDoneAt);
    QVERIFY(innerDoneAt >= 170'000'000);
    QVERIFY(outerDoneAt >= 60'000'000);
}

QTEST_GUILESS_MAIN(TestPacedWait)
#include "tst_pacedwait.moc"
