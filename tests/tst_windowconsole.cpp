#include "replytext.h"
#include "seriallink.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QThread>
#include <QtTest>

using WindowProbe::click;
using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

class TestWindowConsole : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replyText_data();
    void replyText();
    void unsendableCharacters_data();
    void unsendableCharacters();

    void askShowsTheStatusReply();
    void emptyBoxSendsALoneCarriageReturn();
    void latin1CharactersGoOutAsSingleBytes();
    void successiveRepliesFollowInOrder();
    void selectionIsReplaced();
    void bytesWaitingUnreadAreShownToo();
    void nothingShownWithoutAReception();
    void unsendableTextIsRefused();
    void sequenceCommandReadsNothing();

private:
    QPlainTextEdit *log() const { return control<QPlainTextEdit>(m_rig.window(), "txtReceive"); }
    QLineEdit *sendBox() const { return control<QLineEdit>(m_rig.window(), "txtSend"); }

    WindowRig m_rig;
};

void TestWindowConsole::init()
{
    m_rig.setUp();
}

void TestWindowConsole::cleanup()
{
    m_rig.tearDown();
}

void TestWindowConsole::replyText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("status reply") << QByteArray::fromHex("8140") << "<81>@";
    QTest::newRow("printable text") << QByteArray("OK 1/2") << "OK 1/2";
    QTest::newRow("less-than is escaped") << QByteArray("<81>") << "<3C>81>";
    QTest::newRow("CR LF") << QByteArray("a\r\n") << "a<0D><0A>";
    QTest::newRow("zero byte") << QByteArray(1, '\0') << "<00>";
    QTest::newRow("tilde and DEL") << QByteArray("~\x7f") << "~<7F>";
    QTest::newRow("high bytes") << QByteArray::fromHex("a0ff") << "<A0><FF>";
    QTest::newRow("nothing") << QByteArray() << "";
}

void TestWindowConsole::replyText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QCOMPARE(ReplyText::display(bytes), shown);
}

void TestWindowConsole::unsendableCharacters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("index");
    QTest::newRow("plain ASCII") << "ask//" << -1;
    QTest::newRow("Latin-1") << QStringLiteral("caf\u00e9\u00ff") << -1;
    QTest::newRow("euro sign") << QStringLiteral("ask\u20ac//") << 3;
    QTest::newRow("emoji") << QStringLiteral("a\U0001F600") << 1;
    QTest::newRow("empty") << "" << -1;
}

void TestWindowConsole::unsendableCharacters()
{
    QFETCH(QString, text);
    QFETCH(int, index);
    QCOMPARE(ReplyText::firstUnsendable(text), index);
}

void TestWindowConsole::askShowsTheStatusReply()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    board->setState(0x0001); // the console must not repaint the indicators
    QTest::keyClicks(sendBox(), "ask//");
    click(m_rig.window(), "cmdSend");
    QCOMPARE(board->received(), QByteArray("ask//\r"));
    QCOMPARE(log()->toPlainText(), QStringLiteral("<00><01>\n"));
    QCOMPARE(m_rig.window().receivedText(), QByteArray::fromHex("0001"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    QCOMPARE(sendBox()->text(), QStringLiteral("ask//"));
}

void TestWindowConsole::emptyBoxSendsALoneCarriageReturn()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    click(m_rig.window(), "cmdSend");
    QCOMPARE(board->received(), QByteArray("\r"));
    // The line recorded a reception earlier, so the (empty) read shows as an empty line.
    QCOMPARE(log()->toPlainText(), QStringLiteral("\n"));
}

void TestWindowConsole::latin1CharactersGoOutAsSingleBytes()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    sendBox()->setText(QStringLiteral("\u00e9t\u00e9 \u00ff"));
    click(m_rig.window(), "cmdSend");
    QCOMPARE(board->received(), QByteArray("\xe9t\xe9 \xff\r"));
}

void TestWindowConsole::successiveRepliesFollowInOrder()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    sendBox()->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdSend");
    board->setState(0x03C0);
    click(m_rig.window(), "cmdSend");
    board->setFaultMode(FaultMode::Long);
    click(m_rig.window(), "cmdSend");
    QCOMPARE(log()->toPlainText(), QStringLiteral("<81>@\n<03><C0>\n<03><C0><0D><0A>\n"));
}

void TestWindowConsole::selectionIsReplaced()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    log()->setPlainText(QStringLiteral("keep REPLACE keep"));
    QTextCursor cursor = log()->textCursor();
    cursor.setPosition(5);
    cursor.setPosition(12, QTextCursor::KeepAnchor);
    log()->setTextCursor(cursor);
    sendBox()->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdSend");
    QCOMPARE(log()->toPlainText(), QStringLiteral("keep <81>@\n keep"));
}

void TestWindowConsole::bytesWaitingUnreadAreShownToo()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    board->send("late<");
    QThread::msleep(30);
    sendBox()->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdSend");
    QCOMPARE(log()->toPlainText(), QStringLiteral("late<3C><81>@\n"));
}

void TestWindowConsole::nothingShownWithoutAReception()
{
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    board->setFaultMode(FaultMode::Silent);
    m_rig.window().Form_Load(); // a silent board: no reception is ever recorded
    QTRY_COMPARE(board->received(), QByteArray("ask//ask//"));
    board->clearReceived();
    board->setFaultMode(FaultMode::None);
    sendBox()->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdSend");
    QTRY_COMPARE(board->received(), QByteArray("ask//\r"));
    QVERIFY(log()->toPlainText().isEmpty());
    QVERIFY(m_rig.window().receivedText().isEmpty());
}

void TestWindowConsole::unsendableTextIsRefused()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    const QString typed = QStringLiteral("ask\u20ac//");
    sendBox()->setText(typed);
    click(m_rig.window(), "cmdSend");
    QMessageBox *report = WindowProbe::visibleReport(m_rig.window());
    QVERIFY(report);
    QVERIFY2(report->text().contains(QStringLiteral("\u20ac")), qPrintable(report->text()));
    QVERIFY(report->text().contains(QLatin1String("position 4")));
    QVERIFY(report->text().contains(QLatin1String("Nothing was sent")));
    QTest::qWait(50);
    QCOMPARE(board->received(), QByteArray());
    QCOMPARE(sendBox()->text(), typed);
    QVERIFY(log()->toPlainText().isEmpty());
}

void TestWindowConsole::sequenceCommandReadsNothing()
{
    SimulatedBoard *board = m_rig.connectTo(0x8140);
    QVERIFY(board);
    board->setFaultMode(FaultMode::Chatty); // a board that answers it anyway
    const QByteArray before = m_rig.window().receivedText();
    click(m_rig.window(), "cmdSequential");
    QVERIFY(m_rig.window().receivedText() == before); // returned without reading
    QTRY_COMPARE(board->received(), QByteArray::fromHex("781a052f2f"));
    QTest::qWait(50);
    QCOMPARE(m_rig.window().receivedText(), before);
    QVERIFY(log()->toPlainText().isEmpty());
    // Its answer waits in the line: the console's next read shows it first.
    board->setFaultMode(FaultMode::None);
    sendBox()->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdSend");
    QCOMPARE(log()->toPlainText(), QStringLiteral("<81>@<81>@\n"));
}

QTEST_MAIN(TestWindowConsole)
#include "tst_windowconsole.moc"
