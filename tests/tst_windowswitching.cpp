#include "seriallink.h"
#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace std::chrono_literals;
using WindowProbe::click;
using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

class TestWindowSwitching : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void relayButtonFollowsItsIndicator_data();
    void relayButtonFollowsItsIndicator();
    void allOnThenRelayOneSwitchesItOff();
    void allOffPaintsEverythingRed();
    void anyColourButRedSwitchesOff();
    void staleIndicatorDecidesTheCommand();
    void clickDuringAWaitRunsNested();
    void rapidClicksKeepTheWindowTrue();
    void aLateAnswerIsNeverShownAsTheNextOne();
    void exitDuringAWaitEndsQuietly();
    void everyWriteWhileClosedIsReported_data();
    void everyWriteWhileClosedIsReported();

private:
    WindowRig m_rig;
};

void TestWindowSwitching::init()
{
    m_rig.setUp();
}

void TestWindowSwitching::cleanup()
{
    m_rig.tearDown();
}

void TestWindowSwitching::relayButtonFollowsItsIndicator_data()
{
    QTest::addColumn<int>("relay");
    QTest::addColumn<bool>("shownOn");
    for (int relay = 1; relay <= 16; ++relay) {
        QTest::addRow("relay %d shown red", relay) << relay << false;
        QTest::addRow("relay %d shown green", relay) << relay << true;
    }
}

void TestWindowSwitching::relayButtonFollowsItsIndicator()
{
    QFETCH(int, relay);
    QFETCH(bool, shownOn);
    const quint16 bit = quint16(0x8000u >> (relay - 1));
    // A neighbour is on too, so a command for the wrong relay would show.
    const quint16 neighbour = relay == 1 ? 0x0001 : 0x8000;
    const quint16 before = quint16((shownOn ? bit : 0) | neighbour);
    SimulatedBoard *board = m_rig.connectTo(before);
    QVERIFY(board);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(before));

    click(m_rig.window(), QStringLiteral("cmdRelay%1").arg(relay));

    const QByteArray command =
        QByteArray::number(relay).rightJustified(2, '0') + (shownOn ? "-//" : "+//");
    QCOMPARE(board->received(), command + "ask//");
    const quint16 after = quint16(before ^ bit);
    QCOMPARE(board->state(), after);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(after));
}

void TestWindowSwitching::allOnThenRelayOneSwitchesItOff()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    click(m_rig.window(), "cmdOn");
    QCOMPARE(board->received(), QByteArray("on//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xFFFF));
    board->clearReceived();
    click(m_rig.window(), "cmdRelay1");
    QCOMPARE(board->received(), QByteArray("01-//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x7FFF));
}

void TestWindowSwitching::allOffPaintsEverythingRed()
{
    SimulatedBoard *board = m_rig.connectTo(0xA5C3);
    QVERIFY(board);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xA5C3));
    click(m_rig.window(), "cmdOff");
    QCOMPARE(board->received(), QByteArray("off//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0000));
}

void TestWindowSwitching::anyColourButRedSwitchesOff()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    WindowProbe::indicator(m_rig.window(), 11)->setBackColor(0x123456);
    click(m_rig.window(), "cmdRelay12");
    QCOMPARE(board->received(), QByteArray("12-//ask//"));
    // Nearly red is not red.
    board->clearReceived();
    WindowProbe::indicator(m_rig.window(), 2)->setBackColor(0x0000FE);
    click(m_rig.window(), "cmdRelay3");
    QCOMPARE(board->received(), QByteArray("03-//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0000));
}

void TestWindowSwitching::staleIndicatorDecidesTheCommand()
{
    // The board turned relay 4 on behind the window's back; the window still shows it red and
    // so asks for "on" again: the indicator, not the board, decides.
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    board->setState(0x1000);
    click(m_rig.window(), "cmdRelay4");
    QCOMPARE(board->received(), QByteArray("04+//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x1000));
}

void TestWindowSwitching::clickDuringAWaitRunsNested()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    bool nestedRan = false;
    // Fires during Relay 1's 50 ms pause, before its refresh.
    QTimer::singleShot(10, &m_rig.window(), [&] {
        click(m_rig.window(), "cmdRelay2");
        nestedRan = true;
    });
    click(m_rig.window(), "cmdRelay1");
    QVERIFY(nestedRan);
    QVERIFY2(board->received().startsWith("01+//02+//ask//"), board->received().constData());
    QCOMPARE(board->received(), QByteArray("01+//02+//ask//ask//"));
    QCOMPARE(board->state(), quint16(0xC000));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xC000));
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowSwitching::rapidClicksKeepTheWindowTrue()
{
    // Clicks pile up inside each other's waits; at the end the indicators still show the board.
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    int fired = 0;
    const QStringList buttons = {"cmdRelay3", "cmdRelay9", "cmdOn",  "cmdRelay16", "cmdRelay3",
                                 "cmdOff",    "cmdRelay7", "cmdAsk", "cmdRelay7",  "cmdRelay12"};
    for (int i = 0; i < buttons.size(); ++i)
        QTimer::singleShot(5 + 15 * i, &m_rig.window(), [&, i] {
            ++fired;
            click(m_rig.window(), buttons.at(i));
        });
    click(m_rig.window(), "cmdRelay1");
    QTRY_COMPARE(fired, int(buttons.size()));
    QTest::qWait(500);
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(board->state()));
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowSwitching::aLateAnswerIsNeverShownAsTheNextOne()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    // Each answer comes after the 300 ms pause of its question, during the next click's.
    board->setReplyDelay(500ms);
    bool secondRan = false;
    QTimer::singleShot(360, &m_rig.window(), [&] {
        click(m_rig.window(), "cmdRelay9");
        secondRan = true;
    });
    click(m_rig.window(), "cmdRelay5");
    QTRY_VERIFY(secondRan);
    QCOMPARE(board->state(), quint16(0x89C0));
    // The answer to the first click's question (8940) came during the second's pause: the window
    // says the board is late and keeps what it had read, a state the board held.
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY2(report->text().contains(QStringLiteral("answered too late")),
             qPrintable(report->text()));
    QCOMPARE(board->received(), QByteArray("05+//ask//09+//ask//"));
}

void TestWindowSwitching::exitDuringAWaitEndsQuietly()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    QTimer::singleShot(10, &m_rig.window(), [&] { click(m_rig.window(), "cmdExit"); });
    click(m_rig.window(), "cmdRelay1");
    // The interrupted handler finds the port closed and gives up without a word.
    QVERIFY(!m_rig.window().isVisible());
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
    QTest::qWait(50);
    QCOMPARE(board->received(), QByteArray("01+//"));
}

void TestWindowSwitching::everyWriteWhileClosedIsReported_data()
{
    QTest::addColumn<QString>("button");
    for (int relay = 1; relay <= 16; ++relay)
        QTest::addRow("cmdRelay%d", relay) << QStringLiteral("cmdRelay%1").arg(relay);
    QTest::newRow("cmdOn") << "cmdOn";
    QTest::newRow("cmdOff") << "cmdOff";
    QTest::newRow("cmdSend") << "cmdSend";
    QTest::newRow("cmdSequential") << "cmdSequential";
    QTest::newRow("cmdAsk") << "cmdAsk";
}

void TestWindowSwitching::everyWriteWhileClosedIsReported()
{
    QFETCH(QString, button);
    m_rig.window().Form_Load(); // no ports: nothing opened
    m_rig.window().show();
    if (auto *box = m_rig.window().findChild<QMessageBox *>(QStringLiteral("noPortsBox")))
        box->close();
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
    click(m_rig.window(), button);
    click(m_rig.window(), button);
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 1);
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY2(report->text().contains(QLatin1String("COM1")), qPrintable(report->text()));
    QVERIFY(report->text().contains(QLatin1String("not open")));
    QVERIFY(report->text().contains(QLatin1String("Connect")));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));
    QVERIFY(m_rig.window().isVisible());

    // Dismissed, the next click reports again.
    report->close();
    QTRY_COMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
    click(m_rig.window(), button);
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 1);
}

QTEST_MAIN(TestWindowSwitching)
#include "tst_windowswitching.moc"
