// What the operator is told: a board that does not answer, and the one report window that keeps
// every failure since it was last dismissed.

#include "seriallink.h"
#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <QtTest>

using WindowProbe::click;
using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

class TestWindowReports : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectingToABoard_data();
    void connectingToABoard();
    void lateAnswerIsReportedAndTheNextRefreshIsTrue();
    void answerTakenByANestedRefreshIsNotMissing();
    void allOnWithASilentBoardSaysTheIndicatorsAreStale();
    void failuresAccumulateUntilDismissed();
    void repeatsAreCountedAndTheListIsCapped();
    void operatorTextIsCutToFitTheScreen();
    void sendDuringAskTakesTheAnswer();
    void clickDuringTheConnectionClaimsNoSilence();
    void lateOrShortAnswersAreToldAsTheyAre_data();
    void lateOrShortAnswersAreToldAsTheyAre();
    void clickAfterAnUnplugSaysThePortIsClosed();
    void portPathIsQuotedVerbatim_data();
    void portPathIsQuotedVerbatim();
    void anotherPortStartsWithUnreadIndicators();
    void reopeningTheSamePortKeepsTheIndicators();
    void notAPortSaysWhichPortWasClosed();
    void manyReportsFitTheScreen();
    void startUpReportStaysAboveTheWindow();

private:
    QString reportText() const;
    void typePort(const QString &text);

    WindowRig m_rig;
};

void TestWindowReports::init()
{
    m_rig.setUp();
}

void TestWindowReports::cleanup()
{
    m_rig.tearDown();
}

QString TestWindowReports::reportText() const
{
    QMessageBox *box = WindowProbe::visibleReport(m_rig.window());
    return box ? box->text() : QString();
}

void TestWindowReports::typePort(const QString &text)
{
    control<QComboBox>(m_rig.window(), "cboComm")->setEditText(text);
}

void TestWindowReports::connectingToABoard_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("reported"); // empty: no report
    QTest::newRow("answering board") << int(FaultMode::None) << QString();
    QTest::newRow("board answering switching commands too") << int(FaultMode::Chatty) << QString();
    // The first refresh cannot have an answer yet; the second one knows there was none.
    QTest::newRow("silent board") << int(FaultMode::Silent)
                                  << "sent nothing in the 200 ms after it was opened. Check that "
                                     "the board is powered and connected to this port; the "
                                     "indicators have not been read from the board yet.";
    QTest::newRow("one-byte answers") << int(FaultMode::Short)
                                      << "answered only 1 of the 2 status bytes within 300 ms of "
                                         "\"ask//\"; the indicators have not been read";
}

void TestWindowReports::connectingToABoard()
{
    QFETCH(int, fault);
    QFETCH(QString, reported);
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    board->setFaultMode(FaultMode(fault));
    m_rig.window().Form_Load();
    QTRY_COMPARE(board->received(), QByteArray("ask//ask//"));
    if (reported.isEmpty()) {
        QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
        QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
        return;
    }
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));
    const QString text = reportText();
    QVERIFY2(text.contains(QLatin1String("COM1 (") + m_rig.ports().pathOf(1)), qPrintable(text));
    QVERIFY2(text.contains(reported), qPrintable(text));
    QCOMPARE(text.count(QLatin1String("COM1 (")), 1); // one refresh, one entry
}

void TestWindowReports::lateAnswerIsReportedAndTheNextRefreshIsTrue()
{
    SimulatedBoard *board = m_rig.connectTo(0x8000);
    QVERIFY(board);
    board->setReplyDelay(std::chrono::milliseconds(450));
    board->setState(0x0001);
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8000));
    QVERIFY2(reportText().contains(QLatin1String("did not answer \"ask//\" within 300 ms: nothing "
                                                 "came from the board; the indicators still "
                                                 "show the last state read from COM1.")),
             qPrintable(reportText()));

    // The late answer arrives meanwhile; the next refresh empties it away and reads a fresh one.
    QTest::qWait(300);
    board->setReplyDelay(std::chrono::milliseconds(0));
    board->setState(0x0180);
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0180));
}

void TestWindowReports::answerTakenByANestedRefreshIsNotMissing()
{
    SimulatedBoard *board = m_rig.connectTo(0x4000);
    QVERIFY(board);
    board->setState(0x0240);
    // Ask again while the first refresh waits: the nested one empties the line and reads its own
    // answer, so the outer one finds nothing, and that is no failure.
    QTimer::singleShot(100, &m_rig.window(), [this] { click(m_rig.window(), "cmdAsk"); });
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(board->received(), QByteArray("ask//ask//"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0240));
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowReports::allOnWithASilentBoardSaysTheIndicatorsAreStale()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    board->setFaultMode(FaultMode::Silent);
    click(m_rig.window(), "cmdOn");
    QCOMPARE(board->state(), quint16(0xFFFF));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0000));
    QVERIFY2(reportText().contains(QLatin1String("did not answer")), qPrintable(reportText()));
    QVERIFY(reportText().contains(QLatin1String("the indicators still show the last state read")));
}

void TestWindowReports::failuresAccumulateUntilDismissed()
{
    m_rig.window().show();
    typePort(QStringLiteral("abc"));
    click(m_rig.window(), "cmdConect");
    typePort(QStringLiteral("9"));
    click(m_rig.window(), "cmdConect");
    click(m_rig.window(), "cmdOff");

    QCOMPARE(m_rig.window().findChildren<QMessageBox *>(QStringLiteral("report")).size(), 1);
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QCOMPARE(report->windowTitle(), QStringLiteral("Kestrow Quorvel"));
    QVERIFY(!report->isModal());
    const QStringList entries = report->text().split(QStringLiteral("\n\n"));
    QCOMPARE(entries.size(), 3);
    const QRegularExpression timed(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  "));
    for (const QString &entry : entries)
        QVERIFY2(timed.match(entry).hasMatch(), qPrintable(entry));
    QVERIFY2(entries[0].contains(QLatin1String("\"abc\" is not a port number")),
             qPrintable(entries[0]));
    QVERIFY2(entries[1].contains(QLatin1String("COM9")), qPrintable(entries[1]));
    QVERIFY2(entries[2].contains(QLatin1String("not open")), qPrintable(entries[2]));

    // Dismissed: the next failure starts a fresh list.
    QTest::mouseClick(report->button(QMessageBox::Ok), Qt::LeftButton);
    QTRY_COMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
    click(m_rig.window(), "cmdAsk");
    const QString fresh = reportText();
    QVERIFY2(!fresh.contains(QLatin1String("abc")) && !fresh.contains(QLatin1String("\n\n")),
             qPrintable(fresh));
    QVERIFY(fresh.contains(QLatin1String("not open")));
}

void TestWindowReports::repeatsAreCountedAndTheListIsCapped()
{
    m_rig.window().show();
    for (int i = 0; i < 3; ++i)
        click(m_rig.window(), "cmdAsk");
    QString text = reportText();
    QVERIFY2(!text.contains(QLatin1String("\n\n")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String(" (3 times, last at ")), qPrintable(text));

    // Twenty-five different failures: the latest twenty stay, and the report says so.
    for (int i = 0; i < 25; ++i) {
        typePort(QStringLiteral("x%1").arg(i));
        click(m_rig.window(), "cmdConect");
    }
    text = reportText();
    const QStringList entries = text.split(QStringLiteral("\n\n"));
    QCOMPARE(entries.size(), 21);
    QCOMPARE(entries.first(), QStringLiteral("6 earlier reports were left out."));
    QVERIFY2(entries[1].contains(QLatin1String("\"x5\"")), qPrintable(entries[1]));
    QVERIFY2(entries.last().contains(QLatin1String("\"x24\"")), qPrintable(entries.last()));
}

void TestWindowReports::operatorTextIsCutToFitTheScreen()
{
    m_rig.window().show();
    const QString typed(5000, QLatin1Char('7'));
    typePort(typed);
    click(m_rig.window(), "cmdConect");
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY2(report->text().contains(QString(39, QLatin1Char('7')) + QChar(0x2026)),
             qPrintable(report->text()));
    QVERIFY(report->text().size() < 600);
    const QRect screen = m_rig.window().screen()->availableGeometry();
    QVERIFY2(report->sizeHint().width() <= screen.width(),
             qPrintable(QString::number(report->sizeHint().width())));
    // The field itself keeps every character typed.
    QCOMPARE(control<QComboBox>(m_rig.window(), "cboComm")->currentText(), typed);
}

void TestWindowReports::sendDuringAskTakesTheAnswer()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    // Send while Ask waits: the console's read takes the status bytes, and Ask must not call
    // that silence.
    QTimer::singleShot(50, &m_rig.window(), [this] { click(m_rig.window(), "cmdSend"); });
    click(m_rig.window(), "cmdAsk");
    QCOMPARE(board->received(), QByteArray("ask//\r"));
    QVERIFY(!control<QPlainTextEdit>(m_rig.window(), "txtReceive")->toPlainText().isEmpty());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowReports::clickDuringTheConnectionClaimsNoSilence()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0xC140);
    QVERIFY(board);
    board->setReplyDelay(std::chrono::milliseconds(150));
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    // Ask at once, before the board's first answer has come.
    QTimer::singleShot(20, &m_rig.window(), [this] { click(m_rig.window(), "cmdAsk"); });
    m_rig.window().Form_Load();
    QTRY_COMPARE(indicatorColours(m_rig.window()), coloursFor(0xC140));
    QVERIFY2(reportText().isEmpty(), qPrintable(reportText()));
}

void TestWindowReports::lateOrShortAnswersAreToldAsTheyAre_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("said");       // by the report on the Ask after the connection
    QTest::addColumn<QStringList>("untrue"); // anywhere in the report
    QTest::newRow("answers after 400 ms")
        << int(FaultMode::None) << 400 << "answered too late"
        << QStringList{"not one byte", "bytes received", "since it was opened"};
    QTest::newRow("answers one status byte")
        << int(FaultMode::Short) << 0 << "answered only 1 of the 2 status bytes"
        << QStringList{"did not answer", "byte received", "not one byte"};
}

void TestWindowReports::lateOrShortAnswersAreToldAsTheyAre()
{
    QFETCH(int, fault);
    QFETCH(int, delay);
    QFETCH(QString, said);
    QFETCH(QStringList, untrue);
    SimulatedBoard *board = m_rig.ports().add(1, 0x8000);
    QVERIFY(board);
    board->setFaultMode(FaultMode(fault));
    board->setReplyDelay(std::chrono::milliseconds(delay));
    m_rig.window().Form_Load();
    m_rig.window().show();
    QTest::qWait(2 * delay); // late answers come meanwhile
    click(m_rig.window(), "cmdAsk");
    const QString text = reportText();
    const QStringList entries = text.split(QStringLiteral("\n\n"));
    QVERIFY2(entries.last().contains(said), qPrintable(text));
    for (const QString &words : untrue)
        QVERIFY2(!text.contains(words), qPrintable(text));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));
}

void TestWindowReports::clickAfterAnUnplugSaysThePortIsClosed()
{
    SimulatedBoard *board = m_rig.connectTo(0x8000);
    QVERIFY(board);
    board->vanish();
    QTRY_VERIFY(reportText().contains(QLatin1String("stopped answering")));
    QVERIFY2(reportText().contains(QLatin1String("The indicators still show the last state read "
                                                 "from COM1.")),
             qPrintable(reportText()));
    click(m_rig.window(), "cmdRelay1");
    const QStringList entries = reportText().split(QStringLiteral("\n\n"));
    QCOMPARE(entries.size(), 2);
    QVERIFY2(!entries[1].contains(QLatin1String("stopped answering")), qPrintable(entries[1]));
    QVERIFY2(entries[1].contains(QLatin1String("Nothing was sent: COM1 (")) &&
                 entries[1].contains(QLatin1String("has been closed since it was unplugged or "
                                                   "hung up at ")) &&
                 entries[1].contains(QLatin1String("press Connect")),
             qPrintable(entries[1]));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8000));
}

void TestWindowReports::portPathIsQuotedVerbatim_data()
{
    QTest::addColumn<bool>("console");
    QTest::newRow("one status byte at start-up") << false;
    QTest::newRow("a character the line cannot carry") << true;
}

void TestWindowReports::portPathIsQuotedVerbatim()
{
    QFETCH(bool, console);
    m_rig.tearDown();
    m_rig.setUp(QDir::temp().filePath(QStringLiteral("ports-%2-%3-%4-XXXXXX")));
    SimulatedBoard *board = m_rig.ports().add(1, 0x8000);
    QVERIFY(board);
    board->setFaultMode(console ? FaultMode::None : FaultMode::Short);
    m_rig.window().Form_Load();
    m_rig.window().show();
    if (console) {
        control<QLineEdit>(m_rig.window(), "txtSend")->setText(QStringLiteral("a\u2014b"));
        click(m_rig.window(), "cmdSend");
    }
    QVERIFY2(reportText().contains(QLatin1String("COM1 (") + m_rig.ports().pathOf(1)),
             qPrintable(reportText() + "\nexpected the path " + m_rig.ports().pathOf(1)));
}

void TestWindowReports::anotherPortStartsWithUnreadIndicators()
{
    SimulatedBoard *com3 = m_rig.connectTo(0xC140, 3); // relays 1, 2, 8, 10
    QVERIFY(com3);
    SimulatedBoard *com5 = m_rig.ports().add(5, 0x0000);
    QVERIFY(com5);
    com5->setFaultMode(FaultMode::Silent);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xC140));
    typePort(QStringLiteral("5"));
    click(m_rig.window(), "cmdConect");
    // COM5 has not been read: the window shows what it shows before any board was read.
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0));
    for (int k = 0; k < 16; ++k)
        QCOMPARE(WindowProbe::indicator(m_rig.window(), k)->accessibleDescription(),
                 QStringLiteral("not read yet"));
    QVERIFY2(reportText().contains(QLatin1String("COM5 (")) &&
                 reportText().contains(QLatin1String("the indicators have not been read from "
                                                     "the board yet")) &&
                 !reportText().contains(QLatin1String("still show")),
             qPrintable(reportText()));
    QTRY_COMPARE(com5->received(), QByteArray("ask//ask//"));
    com5->clearReceived();
    click(m_rig.window(), "cmdRelay1");
    QTRY_COMPARE(com5->received(), QByteArray("01+//ask//"));
}

void TestWindowReports::reopeningTheSamePortKeepsTheIndicators()
{
    SimulatedBoard *com3 = m_rig.connectTo(0xC140, 3);
    QVERIFY(com3);
    com3->setFaultMode(FaultMode::Silent);
    click(m_rig.window(), "cmdConect");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0xC140));
    QVERIFY2(reportText().contains(QLatin1String("the indicators still show the last state read "
                                                 "from COM3.")),
             qPrintable(reportText()));
}

void TestWindowReports::notAPortSaysWhichPortWasClosed()
{
    QVERIFY(m_rig.connectTo(0xC140, 3));
    typePort(QStringLiteral("abc"));
    click(m_rig.window(), "cmdConect");
    const QString text = reportText();
    QVERIFY2(text.contains(QLatin1String("\"abc\" is not a port number")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("COM3 (") + m_rig.ports().pathOf(3)) &&
                 text.contains(QLatin1String("was closed first; no port is open now.")),
             qPrintable(text));
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowReports::manyReportsFitTheScreen()
{
    m_rig.window().show();
    for (int i = 0; i < 25; ++i) {
        typePort(QStringLiteral("x%1").arg(i));
        click(m_rig.window(), "cmdConect");
    }
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY(QTest::qWaitForWindowExposed(report));
    const QRect screen = report->screen()->availableGeometry();
    QVERIFY2(screen.contains(report->frameGeometry()),
             qPrintable(QStringLiteral("report %1x%2 at %3,%4 on a screen of %5x%6")
                            .arg(report->frameGeometry().width())
                            .arg(report->frameGeometry().height())
                            .arg(report->frameGeometry().x())
                            .arg(report->frameGeometry().y())
                            .arg(screen.width())
                            .arg(screen.height())));
    QAbstractButton *ok = report->button(QMessageBox::Ok);
    QVERIFY(ok && ok->isVisible());
    QVERIFY(screen.contains(QRect(ok->mapToGlobal(QPoint(0, 0)), ok->size())));

    // The newest entry is in view; the older ones are a scroll away.
    auto *area = report->findChild<QScrollArea *>();
    QVERIFY(area);
    QScrollBar *bar = area->verticalScrollBar();
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(bar->maximum() > 0);
    const QString newest = report->text().split(QStringLiteral("\n\n")).last();
    QVERIFY(newest.contains(QLatin1String("\"x24\"")));
    QWidget *text = area->widget();
    const QRect needed = text->fontMetrics().boundingRect(QRect(0, 0, text->width(), 100000),
                                                          Qt::TextWordWrap, newest);
    QVERIFY2(
        needed.height() <= area->viewport()->height(),
        qPrintable(QStringLiteral("%1 > %2").arg(needed.height()).arg(area->viewport()->height())));

    // OK by keyboard.
    QTest::keyClick(report, Qt::Key_Return);
    QTRY_COMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
}

void TestWindowReports::startUpReportStaysAboveTheWindow()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8000);
    QVERIFY(board);
    board->setFaultMode(FaultMode::Silent);
    m_rig.window().Form_Load(); // reports before the window is shown
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY(report->windowHandle());
    QCOMPARE(report->windowHandle()->transientParent(), m_rig.window().windowHandle());
}

QTEST_MAIN(TestWindowReports)
#include "tst_windowreports.moc"
