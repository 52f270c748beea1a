#include "serviceprocess.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QLineEdit>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

namespace {

constexpr int kWait = 10000;

QString reportText(const QWidget &window)
{
    const QMessageBox *box = WindowProbe::visibleReport(window);
    return box ? box->text() : QString();
}

} // namespace

// The window on a port usb16relayd holds: a real service, serving its socket, with a simulated
// board on a pty in this process.
class TestWindowService : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void clickSwitchesThroughTheService_data();
    void clickSwitchesThroughTheService();
    void anotherClientsChangeAppears_data();
    void anotherClientsChangeAppears();
    void consoleRefuses_data();
    void consoleRefuses();
    void anUnusableSocketSaysWhatToDo();
    void troubleIsReported_data();
    void troubleIsReported();

private:
    // Board "b1" on COM1 with `state`, served by usb16relayd; the window started on it.
    SimulatedBoard *start(quint16 state, const QString &extra = {}, const QString &socket = {});
    void press(const QString &name);

    WindowRig m_rig;
    std::unique_ptr<ServiceProcess> m_service;
    QString m_socket;
};

void TestWindowService::cleanup()
{
    m_rig.tearDown();
    m_service.reset();
}

SimulatedBoard *TestWindowService::start(quint16 state, const QString &extra, const QString &socket)
{
    m_rig.setUp();
    SimulatedBoard *board = m_rig.ports().add(1, state);
    if (!board)
        return nullptr;
    const QString dir = QFileInfo(m_rig.ports().pathOf(1)).absolutePath();
    m_socket = dir + QStringLiteral("/http.sock");
    QFile config(dir + QStringLiteral("/d.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return nullptr;
    config.write(QStringLiteral("[service]\nsocket = %1\n[b1]\nname = Bench\ndevice = %2\n"
                                "poll_interval = 100\n%3")
                     .arg(m_socket, m_rig.ports().pathOf(1), extra)
                     .toUtf8());
    config.close();
    m_service = std::make_unique<ServiceProcess>(
        QStringList{QStringLiteral("--config"), config.fileName()});
    // Held once the service has read the board (it answers on this process's event loop).
    const QDeadlineTimer deadline(kWait);
    while (!(board->received().contains("ask//") && QFileInfo::exists(m_socket)) &&
           !deadline.hasExpired())
        QTest::qWait(20);
    m_rig.window().setServiceSocket(socket.isEmpty() ? m_socket : socket);
    m_rig.window().Form_Load();
    m_rig.window().show();
    if (!QTest::qWaitForWindowExposed(&m_rig.window()))
        return nullptr;
    return board;
}

void TestWindowService::press(const QString &name)
{
    if (QMessageBox *report = WindowProbe::visibleReport(m_rig.window()))
        report->close();
    auto *button = control<QPushButton>(m_rig.window(), name);
    QVERIFY(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
}

void TestWindowService::clickSwitchesThroughTheService_data()
{
    QTest::addColumn<quint16>("before");
    QTest::addColumn<QString>("button");
    QTest::addColumn<quint16>("after");
    QTest::newRow("relay 5 shown off goes on") << quint16(0x0001) << "cmdRelay5" << quint16(0x0801);
    QTest::newRow("relay 12 shown on goes off") << quint16(0x0010) << "cmdRelay12" << quint16(0);
    QTest::newRow("All On") << quint16(0x8000) << "cmdOn" << quint16(0xFFFF);
    QTest::newRow("All Off") << quint16(0x8421) << "cmdOff" << quint16(0);
}

void TestWindowService::clickSwitchesThroughTheService()
{
    QFETCH(quint16, before);
    QFETCH(QString, button);
    QFETCH(quint16, after);
    SimulatedBoard *board = start(before);
    QVERIFY(board);
    const QString notice = reportText(m_rig.window());
    QVERIFY2(notice.contains(QLatin1String("works through the service")) &&
                 notice.contains(QLatin1String("b1 \"Bench\"")),
             qPrintable(notice));
    const QString tooltip = control<QWidget>(m_rig.window(), "cboComm")->toolTip();
    QVERIFY2(tooltip.contains(QLatin1String("usb16relayd")), qPrintable(tooltip));
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColours(m_rig.window()), coloursFor(before), kWait);

    press(button);
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), after, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColours(m_rig.window()), coloursFor(after), kWait);
    QCOMPARE(reportText(m_rig.window()), QString());
}

void TestWindowService::anotherClientsChangeAppears_data()
{
    QTest::addColumn<bool>("throughCtl");
    QTest::newRow("usb16relay-ctl") << true;
    QTest::newRow("HTTP on the socket") << false;
}

void TestWindowService::anotherClientsChangeAppears()
{
    QFETCH(bool, throughCtl);
    SimulatedBoard *board = start(0);
    QVERIFY(board);
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColours(m_rig.window()), coloursFor(0), kWait);
    QProcess ctl;
    QLocalSocket http;
    if (throughCtl) {
        ctl.start(QStringLiteral(USB16RELAY_CTL_PATH),
                  {QStringLiteral("--socket"), m_socket, QStringLiteral("--board"),
                   QStringLiteral("b1"), QStringLiteral("on"), QStringLiteral("3")});
    } else {
        http.connectToServer(m_socket);
        QVERIFY(http.waitForConnected(kWait));
        http.write("PUT /api/v1/boards/b1/relays/3 HTTP/1.1\r\nHost: localhost\r\nConnection: "
                   "close\r\nContent-Type: application/json\r\nContent-Length: 11\r\n\r\n"
                   "{\"on\":true}");
    }
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColours(m_rig.window()), coloursFor(0x2000), kWait);
    QCOMPARE(board->state(), quint16(0x2000));
}

void TestWindowService::consoleRefuses_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Send") << "cmdSend";
    QTest::newRow("Send Sequentially") << "cmdSequential";
}

void TestWindowService::consoleRefuses()
{
    QFETCH(QString, button);
    SimulatedBoard *board = start(0);
    QVERIFY(board);
    control<QLineEdit>(m_rig.window(), "txtSend")->setText(QStringLiteral("07+//"));
    press(button);
    const QString shown = control<QPlainTextEdit>(m_rig.window(), "txtReceive")->toPlainText();
    QVERIFY2(shown.startsWith(QLatin1String("Not sent: ")) && shown.count(u'\n') == 1 &&
                 shown.contains(QLatin1String("systemctl stop usb16relayd")),
             qPrintable(shown));
    QCOMPARE(board->state(), quint16(0));
}

void TestWindowService::anUnusableSocketSaysWhatToDo()
{
    const QString nowhere = QDir::tempPath() + QStringLiteral("/no-usb16relayd-here.sock");
    SimulatedBoard *board = start(0, {}, nowhere);
    QVERIFY(board);
    const QString text = reportText(m_rig.window());
    QVERIFY2(text.contains(nowhere) && text.contains(QLatin1String("systemctl stop usb16relayd")) &&
                 text.contains(QLatin1String("http://")) &&
                 !text.contains(QLatin1String("close that program")),
             qPrintable(text));
    QCOMPARE(m_rig.window().serviceBoard(), QString());
}

void TestWindowService::troubleIsReported_data()
{
    QTest::addColumn<QString>("extra"); // in the board's section
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QString>("expected");
    QTest::newRow("interlock")
        << "interlock = 5,6\n"
        << "cmdOn"
        << "did not switch all relays on (board b1 \"Bench\"): b1: refused: relays 5, 6 are "
           "interlocked";
    QTest::newRow("board silent") << ""
                                  << "silent"
                                  << "reports board b1 \"Bench\" offline";
    QTest::newRow("service stopped") << ""
                                     << "stop"
                                     << "no longer sends the state";
}

void TestWindowService::troubleIsReported()
{
    QFETCH(QString, extra);
    QFETCH(QString, trouble);
    QFETCH(QString, expected);
    SimulatedBoard *board = start(0x0400, extra);
    QVERIFY(board);
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColours(m_rig.window()), coloursFor(0x0400), kWait);
    if (trouble == u"stop")
        QVERIFY(m_service->stop());
    else if (trouble == u"silent")
        board->setFaultMode(FaultMode::Silent);
    press(trouble == u"cmdOn" ? trouble : QStringLiteral("cmdAsk"));
    QTRY_VERIFY_WITH_TIMEOUT(reportText(m_rig.window()).contains(expected), kWait);
    QCOMPARE(board->state(), quint16(0x0400));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0400));
}

QTEST_MAIN(TestWindowService)
#include "tst_windowservice.moc"
