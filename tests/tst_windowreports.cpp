// What the operator is told: a board that does not answer, and the one report window that keeps
// every failure since it was last dismissed.

#include "seriallink.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
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
                                  << "has not answered since it was opened: not one byte has "
                                     "come from the board. Check that the board is powered and "
                                     "connected to this port; the indicators have not been read "
                                     "from the board yet.";
    QTest::newRow("one-byte answers") << int(FaultMode::Short)
                                      << "did not answer \"ask//\" within 300 ms (1 byte "
                                         "received); the indicators have not been read";
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
    QVERIFY2(reportText().contains(QLatin1String("(0 bytes received); the indicators still show "
                                                 "the last state read.")),
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

QTEST_MAIN(TestWindowReports)
#include "tst_windowreports.moc"
