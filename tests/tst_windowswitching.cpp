#include "boardports.h"
#include "seriallink.h"
#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

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
    void everyWriteWhileClosedIsReported_data();
    void everyWriteWhileClosedIsReported();

private:
    SimulatedBoard *connectTo(quint16 state);

    std::unique_ptr<BoardPorts> m_ports;
    std::unique_ptr<Usb16Relay> m_window;
};

void TestWindowSwitching::init()
{
    m_ports = std::make_unique<BoardPorts>();
    QVERIFY(m_ports->isValid());
    m_window = std::make_unique<Usb16Relay>();
}

void TestWindowSwitching::cleanup()
{
    m_window.reset();
    m_ports.reset();
}

SimulatedBoard *TestWindowSwitching::connectTo(quint16 state)
{
    SimulatedBoard *board = m_ports->add(1, state);
    if (!board)
        return nullptr;
    m_window->Form_Load();
    m_window->show();
    board->clearReceived();
    return board;
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
    SimulatedBoard *board = connectTo(before);
    QVERIFY(board);
    QCOMPARE(indicatorColours(*m_window), coloursFor(before));

    click(*m_window, QStringLiteral("cmdRelay%1").arg(relay));

    const QByteArray command =
        QByteArray::number(relay).rightJustified(2, '0') + (shownOn ? "-//" : "+//");
    QCOMPARE(board->received(), command + "ask//");
    const quint16 after = quint16(before ^ bit);
    QCOMPARE(board->state(), after);
    QCOMPARE(indicatorColours(*m_window), coloursFor(after));
}

void TestWindowSwitching::allOnThenRelayOneSwitchesItOff()
{
    SimulatedBoard *board = connectTo(0x0000);
    QVERIFY(board);
    click(*m_window, "cmdOn");
    QCOMPARE(board->received(), QByteArray("on//ask//"));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0xFFFF));
    board->clearReceived();
    click(*m_window, "cmdRelay1");
    QCOMPARE(board->received(), QByteArray("01-//ask//"));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0x7FFF));
}

void TestWindowSwitching::allOffPaintsEverythingRed()
{
    SimulatedBoard *board = connectTo(0xA5C3);
    QVERIFY(board);
    QCOMPARE(indicatorColours(*m_window), coloursFor(0xA5C3));
    click(*m_window, "cmdOff");
    QCOMPARE(board->received(), QByteArray("off//ask//"));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0x0000));
}

void TestWindowSwitching::anyColourButRedSwitchesOff()
{
    SimulatedBoard *board = connectTo(0x0000);
    QVERIFY(board);
    WindowProbe::indicator(*m_window, 11)->setBackColor(0x123456);
    click(*m_window, "cmdRelay12");
    QCOMPARE(board->received(), QByteArray("12-//ask//"));
    // Nearly red is not red.
    board->clearReceived();
    WindowProbe::indicator(*m_window, 2)->setBackColor(0x0000FE);
    click(*m_window, "cmdRelay3");
    QCOMPARE(board->received(), QByteArray("03-//ask//"));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0x0000));
}

void TestWindowSwitching::staleIndicatorDecidesTheCommand()
{
    // The board turned relay 4 on behind the window's back; the window still shows it red and
    // so asks for "on" again: the indicator, not the board, decides.
    SimulatedBoard *board = connectTo(0x0000);
    QVERIFY(board);
    board->setState(0x1000);
    click(*m_window, "cmdRelay4");
    QCOMPARE(board->received(), QByteArray("04+//ask//"));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0x1000));
}

void TestWindowSwitching::clickDuringAWaitRunsNested()
{
    SimulatedBoard *board = connectTo(0x0000);
    QVERIFY(board);
    bool nestedRan = false;
    // Fires during Relay 1's 50 ms pause, before its refresh.
    QTimer::singleShot(10, m_window.get(), [&] {
        click(*m_window, "cmdRelay2");
        nestedRan = true;
    });
    click(*m_window, "cmdRelay1");
    QVERIFY(nestedRan);
    QVERIFY2(board->received().startsWith("01+//02+//ask//"), board->received().constData());
    QCOMPARE(board->received(), QByteArray("01+//02+//ask//ask//"));
    QCOMPARE(board->state(), quint16(0xC000));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0xC000));
    QVERIFY(WindowProbe::link(*m_window)->portOpen());
}

void TestWindowSwitching::rapidClicksKeepTheWindowTrue()
{
    // Clicks pile up inside each other's waits; at the end the indicators still show the board.
    SimulatedBoard *board = connectTo(0x0000);
    QVERIFY(board);
    int fired = 0;
    const QStringList buttons = {"cmdRelay3", "cmdRelay9", "cmdOn",  "cmdRelay16", "cmdRelay3",
                                 "cmdOff",    "cmdRelay7", "cmdAsk", "cmdRelay7",  "cmdRelay12"};
    for (int i = 0; i < buttons.size(); ++i)
        QTimer::singleShot(5 + 15 * i, m_window.get(), [&, i] {
            ++fired;
            click(*m_window, buttons.at(i));
        });
    click(*m_window, "cmdRelay1");
    QTRY_COMPARE(fired, int(buttons.size()));
    QTest::qWait(500);
    click(*m_window, "cmdAsk");
    QCOMPARE(indicatorColours(*m_window), coloursFor(board->state()));
    QVERIFY(WindowProbe::link(*m_window)->portOpen());
    QCOMPARE(WindowProbe::visibleMessageBoxes(*m_window), 0);
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
    m_window->Form_Load(); // no ports: nothing opened
    m_window->show();
    if (auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("noPortsBox")))
        box->close();
    QCOMPARE(WindowProbe::visibleMessageBoxes(*m_window), 0);
    click(*m_window, button);
    click(*m_window, button);
    QCOMPARE(WindowProbe::visibleMessageBoxes(*m_window), 1);
    QMessageBox *report = WindowProbe::visibleReport(*m_window);
    QVERIFY2(report->text().contains(QLatin1String("COM1")), qPrintable(report->text()));
    QVERIFY(report->text().contains(QLatin1String("not open")));
    QVERIFY(report->text().contains(QLatin1String("Connect")));
    QCOMPARE(indicatorColours(*m_window), coloursFor(0));
    QVERIFY(m_window->isVisible());

    // Dismissed, the next click reports again.
    report->close();
    QTRY_COMPARE(WindowProbe::visibleMessageBoxes(*m_window), 0);
    click(*m_window, button);
    QCOMPARE(WindowProbe::visibleMessageBoxes(*m_window), 1);
}

QTEST_MAIN(TestWindowSwitching)
#include "tst_windowswitching.moc"
