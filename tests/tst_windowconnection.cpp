#include "seriallink.h"
#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using WindowProbe::click;
using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

class TestWindowConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startUpLists_data();
    void startUpLists();
    void startUpWithoutPorts();
    void startUpConnectsToTheLowestPort();
    void pickingAnotherPortReconnects();
    void pickingTheCurrentPortReconnects();
    void connectTwiceReopensEachTime();
    void askShowsWhatTheBoardSays_data();
    void askShowsWhatTheBoardSays();
    void portTextThatIsNotAPort_data();
    void portTextThatIsNotAPort();
    void portThatCannotBeOpened();
    void askWithNoPortOpen();
    void deviceVanishesWhileConnected();
    void portToolTipsNameTheDevice();
    void reportsReplaceEachOther();
    void exitReleasesThePort();
    void exitWithNoPortOpen();
    void exitWhileAReportIsOpen();
    void closeBoxReleasesThePort();

private:
    QStringList comboItems();

    WindowRig m_rig;
};

void TestWindowConnection::init()
{
    m_rig.setUp();
}

void TestWindowConnection::cleanup()
{
    m_rig.tearDown();
}

QStringList TestWindowConnection::comboItems()
{
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

void TestWindowConnection::startUpLists_data()
{
    QTest::addColumn<QList<int>>("ports");
    QTest::newRow("one port") << QList<int>{1};
    QTest::newRow("ports 3 and 5") << QList<int>{3, 5};
    QTest::newRow("high ports") << QList<int>{9, 10, 16};
}

void TestWindowConnection::startUpLists()
{
    QFETCH(QList<int>, ports);
    QStringList expected;
    for (int port : ports) {
        QVERIFY(m_rig.ports().add(port, 0x0001));
        expected << QString::number(port);
    }
    m_rig.window().Form_Load();
    QCOMPARE(comboItems(), expected);
    QCOMPARE(control<QComboBox>(m_rig.window(), "cboComm")->currentText(), expected.first());
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(ports.first()));
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0001));
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowConnection::startUpWithoutPorts()
{
    m_rig.window().Form_Load();
    QMessageBox *box = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("No Com Ports Installed on this computer"));
    QCOMPARE(box->windowTitle(), QStringLiteral("Kestrow Quorvel"));
    QCOMPARE(box->icon(), QMessageBox::NoIcon);
    QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QCOMPARE(combo->count(), 0);
    QCOMPARE(combo->currentText(), QStringLiteral("1"));
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));

    // A board plugged in afterwards as COM1 is reached with Connect.
    SimulatedBoard *board = m_rig.ports().add(1, 0x8000);
    QVERIFY(board);
    click(m_rig.window(), "cmdConect");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8000));
}

void TestWindowConnection::startUpConnectsToTheLowestPort()
{
    SimulatedBoard *three = m_rig.ports().add(3, 0x8140);
    SimulatedBoard *five = m_rig.ports().add(5, 0x0F0F);
    QVERIFY(three && five);
    m_rig.window().Form_Load();
    QCOMPARE(comboItems(), (QStringList{"3", "5"}));
    // The first refresh asks but reads nothing; the second asks again and shows the answer.
    QCOMPARE(three->received(), QByteArray("ask//ask//"));
    QCOMPARE(five->received(), QByteArray());
    QCOMPARE(m_rig.window().receivedText(), QByteArray::fromHex("8140"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
}

void TestWindowConnection::pickingAnotherPortReconnects()
{
    SimulatedBoard *three = m_rig.ports().add(3, 0x8140);
    SimulatedBoard *five = m_rig.ports().add(5, 0x0F0F);
    QVERIFY(three && five);
    m_rig.window().Form_Load();
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    three->clearReceived();

    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QTest::keyClick(combo, Qt::Key_Down); // the operator picks "5"
    QCOMPARE(combo->currentText(), QStringLiteral("5"));
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(5));
    QCOMPARE(five->received(), QByteArray("ask//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0F0F));
    // COM3 was let go: another program can take it now.
    SerialLink other;
    QVERIFY(other.setCommPort(3));
    QVERIFY2(other.setPortOpen(true), qPrintable(other.errorString()));
    QCOMPARE(three->received(), QByteArray());
}

void TestWindowConnection::pickingTheCurrentPortReconnects()
{
    SimulatedBoard *board = m_rig.ports().add(2, 0x4000);
    QVERIFY(board);
    m_rig.window().Form_Load();
    board->clearReceived();
    board->setState(0x2000);
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    emit combo->activated(0); // what the list does when the operator picks its current item
    QCOMPARE(board->received(), QByteArray("ask//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x2000));
}

void TestWindowConnection::connectTwiceReopensEachTime()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x0180);
    QVERIFY(board);
    m_rig.window().Form_Load();
    board->clearReceived();
    click(m_rig.window(), "cmdConect");
    click(m_rig.window(), "cmdConect");
    // Each connection starts afresh: one unanswered ask, a pause, then an ask that is read.
    QCOMPARE(board->received(), QByteArray("ask//ask//ask//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0180));
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowConnection::askShowsWhatTheBoardSays_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<quint16>("boardState");
    QTest::addColumn<quint16>("shown");
    QTest::addColumn<QString>("reported"); // empty: no report
    QTest::newRow("81 40") << int(FaultMode::None) << quint16(0x8140) << quint16(0x8140)
                           << QString();
    QTest::newRow("80 00") << int(FaultMode::None) << quint16(0x8000) << quint16(0x8000)
                           << QString();
    QTest::newRow("00 01") << int(FaultMode::None) << quint16(0x0001) << quint16(0x0001)
                           << QString();
    QTest::newRow("03 c0 and more bytes")
        << int(FaultMode::Long) << quint16(0x03C0) << quint16(0x03C0) << QString();
    // Without two bytes to read, the indicators keep what the connection showed (ff ff), and
    // the operator is told that they may be stale.
    QTest::newRow("silent board") << int(FaultMode::Silent) << quint16(0x0000) << quint16(0xFFFF)
                                  << "did not answer \"ask//\" within 300 ms: nothing came from "
                                     "the board; the indicators still show the last state read "
                                     "from COM1.";
    QTest::newRow("one-byte reply") << int(FaultMode::Short) << quint16(0x0000) << quint16(0xFFFF)
                                    << "answered only 1 of the 2 status bytes within 300 ms";
}

void TestWindowConnection::askShowsWhatTheBoardSays()
{
    QFETCH(int, fault);
    QFETCH(quint16, boardState);
    QFETCH(quint16, shown);
    SimulatedBoard *board = m_rig.ports().add(1, 0xFFFF);
    QVERIFY(board);
    m_rig.window().Form_Load();
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xFFFF));
    board->setFaultMode(FaultMode(fault));
    board->setState(boardState);
    board->clearReceived();
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(board->received(), QByteArray("ask//"));
    QFETCH(QString, reported);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(shown));
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), reported.isEmpty() ? 0 : 1);
    if (!reported.isEmpty()) {
        const QString text = WindowProbe::visibleReport(m_rig.window())->text();
        QVERIFY2(text.contains(QLatin1String("COM1 (") + m_rig.ports().pathOf(1)),
                 qPrintable(text));
        QVERIFY2(text.contains(reported), qPrintable(text));
    }
}

void TestWindowConnection::portTextThatIsNotAPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("letters") << "abc";
    QTest::newRow("empty") << "";
    QTest::newRow("fraction") << "3.5";
    QTest::newRow("beyond 16 bits") << "70000";
    QTest::newRow("hexadecimal") << "0x3";
}

void TestWindowConnection::portTextThatIsNotAPort()
{
    QFETCH(QString, typed);
    SimulatedBoard *board = m_rig.ports().add(3, 0x8000);
    QVERIFY(board);
    m_rig.window().Form_Load();
    board->clearReceived();
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    combo->setEditText(typed);
    click(m_rig.window(), "cmdConect");
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY2(report->text().contains(QStringLiteral("\"%1\"").arg(typed)),
             qPrintable(report->text()));
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 1);
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen()); // step 1 closed it
    QCOMPARE(combo->currentText(), typed);                   // what was typed stays
    QCOMPARE(board->received(), QByteArray());
}

void TestWindowConnection::portThatCannotBeOpened()
{
    SimulatedBoard *board = m_rig.ports().add(3, 0x8000);
    QVERIFY(board);
    m_rig.window().Form_Load();
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    combo->setEditText(QStringLiteral(" 7 "));
    click(m_rig.window(), "cmdConect");
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY2(report->text().contains(QLatin1String("COM7")), qPrintable(report->text()));
    QVERIFY(report->text().contains(m_rig.ports().pathOf(7)));
    QVERIFY(report->text().contains(QLatin1String("does not exist")));
    QCOMPARE(report->windowTitle(), QStringLiteral("Kestrow Quorvel"));
    QVERIFY(!report->isModal());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 1);
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    // The indicators keep the last state read from COM3.
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8000));

    // " 3 " is port 3.
    combo->setEditText(QStringLiteral(" 3 "));
    click(m_rig.window(), "cmdConect");
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(3));
}

void TestWindowConnection::askWithNoPortOpen()
{
    m_rig.window().Form_Load(); // no ports
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 2); // with "No Com Ports"
    auto *report = m_rig.window().findChild<QMessageBox *>(QStringLiteral("report"));
    QVERIFY(report && report->isVisible());
    QVERIFY2(report->text().contains(QLatin1String("COM1")), qPrintable(report->text()));
    QVERIFY(report->text().contains(QLatin1String("not open")));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));
}

void TestWindowConnection::deviceVanishesWhileConnected()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    m_rig.window().Form_Load();
    m_rig.window().show();
    board->vanish();
    QTRY_VERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    QTRY_VERIFY(WindowProbe::visibleReport(m_rig.window()));
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY2(report->text().contains(QLatin1String("COM1")), qPrintable(report->text()));
    const QString firstText = report->text();
    click(m_rig.window(), "cmdAsk");
    // The click is told that the port is closed since then, in the same report window.
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 1);
    const QString text = WindowProbe::visibleReport(m_rig.window())->text();
    QVERIFY2(text.startsWith(firstText + QLatin1String("\n\n")) &&
                 text.contains(QLatin1String("has been closed since it was unplugged")),
             qPrintable(text));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));

    // Plugged back in: Connect reopens.
    board = m_rig.ports().add(1, 0x0002);
    QVERIFY(board);
    click(m_rig.window(), "cmdConect");
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0002));
}

void TestWindowConnection::reportsReplaceEachOther()
{
    m_rig.window().Form_Load();
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    combo->setEditText(QStringLiteral("abc"));
    click(m_rig.window(), "cmdConect");
    combo->setEditText(QStringLiteral("9"));
    click(m_rig.window(), "cmdConect");
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    int reports = 0;
    for (QMessageBox *box : m_rig.window().findChildren<QMessageBox *>(QStringLiteral("report")))
        reports += box->isVisible() ? 1 : 0;
    QCOMPARE(reports, 1);
    QVERIFY(report);
    report = m_rig.window().findChild<QMessageBox *>(QStringLiteral("report"));
    QVERIFY2(report->text().contains(QLatin1String("COM9")), qPrintable(report->text()));
}

void TestWindowConnection::portToolTipsNameTheDevice()
{
    SimulatedBoard *three = m_rig.ports().add(3, 0x8140);
    SimulatedBoard *five = m_rig.ports().add(5, 0x0001);
    QVERIFY(three && five);
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QVERIFY2(combo->toolTip().startsWith(QLatin1String("No port is open")),
             qPrintable(combo->toolTip()));
    m_rig.window().Form_Load();

    // Each item names its device: the COM table's entry and the pty it leads to.
    const QString itemTip = combo->itemData(1, Qt::ToolTipRole).toString();
    QVERIFY2(
        itemTip.startsWith(
            QStringLiteral("COM5: %1 \u2192 %2").arg(m_rig.ports().pathOf(5), five->slavePath())),
        qPrintable(itemTip));
    const auto openTip = [](int port, const QString &path) {
        return QStringLiteral("Open now: COM%1: %2").arg(port).arg(path);
    };
    QVERIFY2(combo->toolTip().startsWith(openTip(3, m_rig.ports().pathOf(3))),
             qPrintable(combo->toolTip()));

    QTest::keyClick(combo, Qt::Key_Down); // picks 5
    QVERIFY2(combo->toolTip().startsWith(openTip(5, m_rig.ports().pathOf(5))),
             qPrintable(combo->toolTip()));

    combo->setEditText(QStringLiteral("7")); // nothing there
    click(m_rig.window(), "cmdConect");
    QVERIFY2(combo->toolTip().startsWith(QLatin1String("No port is open")),
             qPrintable(combo->toolTip()));

    combo->setEditText(QStringLiteral("3"));
    click(m_rig.window(), "cmdConect");
    QVERIFY(combo->toolTip().startsWith(openTip(3, m_rig.ports().pathOf(3))));
    three->vanish(); // unplugged
    QTRY_VERIFY2(combo->toolTip().startsWith(QLatin1String("No port is open")),
                 qPrintable(combo->toolTip()));

    QVERIFY(m_rig.ports().add(3, 0x0000));
    click(m_rig.window(), "cmdConect");
    QVERIFY(combo->toolTip().startsWith(openTip(3, m_rig.ports().pathOf(3))));
    click(m_rig.window(), "cmdExit");
    QVERIFY(combo->toolTip().startsWith(QLatin1String("No port is open")));
}

void TestWindowConnection::exitReleasesThePort()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    m_rig.window().Form_Load();
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    board->send("unread");
    click(m_rig.window(), "cmdExit");
    QVERIFY(!m_rig.window().isVisible());
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    SerialLink next;
    QVERIFY(next.setCommPort(1));
    QVERIFY2(next.setPortOpen(true), qPrintable(next.errorString()));
}

void TestWindowConnection::exitWithNoPortOpen()
{
    m_rig.window().Form_Load();
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    click(m_rig.window(), "cmdExit");
    QVERIFY(!m_rig.window().isVisible());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowConnection::exitWhileAReportIsOpen()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    m_rig.window().Form_Load();
    m_rig.window().show();
    control<QComboBox>(m_rig.window(), "cboComm")->setEditText(QStringLiteral("12"));
    click(m_rig.window(), "cmdConect");
    QVERIFY(WindowProbe::visibleReport(m_rig.window()));
    click(m_rig.window(), "cmdExit");
    QVERIFY(!m_rig.window().isVisible());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowConnection::closeBoxReleasesThePort()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    m_rig.window().Form_Load();
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    QVERIFY(m_rig.window().close());
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    SerialLink next;
    QVERIFY(next.setPortOpen(true));
}

QTEST_MAIN(TestWindowConnection)
#include "tst_windowconnection.moc"
