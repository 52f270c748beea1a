// The window driven by real input events only: typing into the port field, clicking after it,
// the keyboard's focus walk and the wheel.

#include "seriallink.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using WindowProbe::control;

class TestWindowInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typedPortConnectsNothingUntilConnect_data();
    void typedPortConnectsNothingUntilConnect();
    void typedPortThenConnectConnectsOnce();
    void pickFromTheListConnects_data();
    void pickFromTheListConnects();
    void wheelWithoutFocusChangesNothing();
    void tabWalksTheWholeOrder();
    void tabLeavesTheReplyLog();
    void keysPressTheFocusedButton_data();
    void keysPressTheFocusedButton();

private:
    // Boards on COM1 and COM3; the window connected to COM1, shown and active, focus in the port
    // field with its text selected.
    void startOnTwoPorts();
    QComboBox *portField() const { return control<QComboBox>(m_rig.window(), "cboComm"); }
    static QString focusedControl();

    WindowRig m_rig;
    SimulatedBoard *m_one = nullptr;
    SimulatedBoard *m_three = nullptr;
};

void TestWindowInput::init()
{
    m_rig.setUp();
}

void TestWindowInput::cleanup()
{
    m_rig.tearDown();
}

void TestWindowInput::startOnTwoPorts()
{
    m_three = m_rig.ports().add(3, 0x0F0F);
    m_one = m_rig.connectTo(0x8000, 1);
    QVERIFY(m_one && m_three);
    m_three->clearReceived();
    QApplication::setActiveWindow(&m_rig.window());
    QVERIFY(QTest::qWaitForWindowActive(&m_rig.window()));
    QCOMPARE(focusedControl(), QStringLiteral("cboComm"));
    portField()->lineEdit()->selectAll();
}

QString TestWindowInput::focusedControl()
{
    // The port field's text editor is a child without a name of its own.
    for (QWidget *widget = QApplication::focusWidget(); widget; widget = widget->parentWidget())
        if (!widget->objectName().isEmpty() && !widget->objectName().startsWith("qt_"))
            return widget->objectName();
    return {};
}

void TestWindowInput::typedPortConnectsNothingUntilConnect_data()
{
    QTest::addColumn<QString>("leaveBy");
    QTest::addColumn<QByteArray>("sentToBoardOne");
    // Leaving the field is not a pick: the click that leaves it acts, once, on the first press.
    QTest::newRow("click Relay 5") << "cmdRelay5" << QByteArray("05+//ask//");
    QTest::newRow("click Ask") << "cmdAsk" << QByteArray("ask//");
    QTest::newRow("click All Off") << "cmdOff" << QByteArray("off//ask//");
    QTest::newRow("Tab") << "Tab" << QByteArray();
    QTest::newRow("Return") << "Return" << QByteArray();
    QTest::newRow("click the send box") << "txtSend" << QByteArray();
}

void TestWindowInput::typedPortConnectsNothingUntilConnect()
{
    QFETCH(QString, leaveBy);
    QFETCH(QByteArray, sentToBoardOne);
    startOnTwoPorts();
    QTest::keyClicks(QApplication::focusWidget(), "3");
    QCOMPARE(portField()->currentText(), QStringLiteral("3"));

    if (leaveBy == QLatin1String("Tab")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focusedControl(), QStringLiteral("cmdAsk"));
    } else if (leaveBy == QLatin1String("Return")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    } else {
        QWidget *target = control<QWidget>(m_rig.window(), leaveBy);
        QTest::mouseClick(target, Qt::LeftButton);
        if (auto *button = qobject_cast<QPushButton *>(target))
            QVERIFY(!button->isDown());
    }
    QCOMPARE(m_one->received(), sentToBoardOne);
    QCOMPARE(m_three->received(), QByteArray());
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(1));
    QVERIFY(WindowProbe::link(m_rig.window())->portOpen());
    // What was typed stays as typed.
    QCOMPARE(portField()->currentText(), QStringLiteral("3"));
}

void TestWindowInput::typedPortThenConnectConnectsOnce()
{
    startOnTwoPorts();
    QTest::keyClicks(QApplication::focusWidget(), "3");
    QTest::mouseClick(control<QPushButton>(m_rig.window(), "cmdConect"), Qt::LeftButton);
    QCOMPARE(m_three->received(), QByteArray("ask//ask//"));
    QCOMPARE(m_one->received(), QByteArray());
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(3));
    QCOMPARE(WindowProbe::indicatorColours(m_rig.window()), WindowProbe::coloursFor(0x0F0F));
    QVERIFY(!control<QPushButton>(m_rig.window(), "cmdConect")->isDown());
}

void TestWindowInput::pickFromTheListConnects_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("arrow down") << "down";
    QTest::newRow("wheel with focus") << "wheel";
    QTest::newRow("mouse in the drop-down") << "popup";
}

void TestWindowInput::pickFromTheListConnects()
{
    QFETCH(QString, how);
    startOnTwoPorts();
    QComboBox *combo = portField();
    if (how == QLatin1String("down")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    } else if (how == QLatin1String("wheel")) {
        QWheelEvent wheel(QPointF(10, 10), combo->mapToGlobal(QPointF(10, 10)), {}, {0, -120},
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(combo, &wheel);
    } else {
        combo->showPopup();
        QAbstractItemView *list = combo->view();
        QTRY_VERIFY(list->isVisible());
        const QRect item = list->visualRect(combo->model()->index(1, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    }
    QTRY_COMPARE(m_three->received(), QByteArray("ask//ask//"));
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(3));
    QCOMPARE(combo->currentText(), QStringLiteral("3"));
}

void TestWindowInput::wheelWithoutFocusChangesNothing()
{
    startOnTwoPorts();
    QPushButton *ask = control<QPushButton>(m_rig.window(), "cmdAsk");
    ask->setFocus(Qt::TabFocusReason);
    QComboBox *combo = portField();
    QWheelEvent wheel(QPointF(10, 10), combo->mapToGlobal(QPointF(10, 10)), {}, {0, -120},
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(combo, &wheel);
    QCOMPARE(combo->currentText(), QStringLiteral("1"));
    QCOMPARE(m_three->received(), QByteArray());
    QCOMPARE(m_one->received(), QByteArray());
    QCOMPARE(focusedControl(), QStringLiteral("cmdAsk"));
}

void TestWindowInput::tabWalksTheWholeOrder()
{
    QStringList expected = {"cboComm", "cmdAsk", "cmdConect", "cmdExit", "cmdRelay1", "cmdOn"};
    for (int relay = 2; relay <= 16; ++relay)
        expected << QStringLiteral("cmdRelay%1").arg(relay);
    expected << "cmdOff";
    // In each Off/On pair the keyboard stops at the checked button, Off at start.
    for (int frame = 0; frame < 16; ++frame)
        expected << QStringLiteral("OpRelay(%1)").arg(2 * frame);
    expected << "cmdSequential"
             << "txtSend"
             << "txtReceive"
             << "cmdSend";

    m_rig.window().show();
    QApplication::setActiveWindow(&m_rig.window());
    QVERIFY(QTest::qWaitForWindowActive(&m_rig.window()));
    QStringList forward = {focusedControl()};
    for (int step = 1; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        forward << focusedControl();
    }
    QCOMPARE(forward, expected);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(focusedControl(), QStringLiteral("cboComm")); // round again

    QStringList backward;
    for (int step = 0; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        backward.prepend(focusedControl());
    }
    QCOMPARE(backward, expected);
}

void TestWindowInput::tabLeavesTheReplyLog()
{
    m_rig.window().show();
    QApplication::setActiveWindow(&m_rig.window());
    QVERIFY(QTest::qWaitForWindowActive(&m_rig.window()));
    auto *log = control<QWidget>(m_rig.window(), "txtReceive");
    QTest::mouseClick(log, Qt::LeftButton);
    QCOMPARE(focusedControl(), QStringLiteral("txtReceive"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(focusedControl(), QStringLiteral("cmdSend"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(focusedControl(), QStringLiteral("txtReceive"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(focusedControl(), QStringLiteral("txtSend"));
    QCOMPARE(control<QPlainTextEdit>(m_rig.window(), "txtReceive")->toPlainText(), QString());
}

void TestWindowInput::keysPressTheFocusedButton_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QByteArray>("sent");
    const int none = int(Qt::NoModifier);
    QTest::newRow("Return on Ask")
        << "cmdAsk" << int(Qt::Key_Return) << none << QByteArray("ask//");
    QTest::newRow("Enter on Relay 5")
        << "cmdRelay5" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << QByteArray("05+//ask//");
    QTest::newRow("Return on All On")
        << "cmdOn" << int(Qt::Key_Return) << none << QByteArray("on//ask//");
    QTest::newRow("Space on Relay 5")
        << "cmdRelay5" << int(Qt::Key_Space) << none << QByteArray("05+//ask//");
    // A shortcut with Return is not a press.
    QTest::newRow("Ctrl+Return on Ask")
        << "cmdAsk" << int(Qt::Key_Return) << int(Qt::ControlModifier) << QByteArray();
}

void TestWindowInput::keysPressTheFocusedButton()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QByteArray, sent);
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    QApplication::setActiveWindow(&m_rig.window());
    QVERIFY(QTest::qWaitForWindowActive(&m_rig.window()));
    auto *pushButton = control<QPushButton>(m_rig.window(), button);
    const QSize size = pushButton->size();
    pushButton->setFocus(Qt::TabFocusReason);
    QTest::keyClick(pushButton, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_COMPARE(board->received(), sent);
    QTest::qWait(100);
    QCOMPARE(board->received(), sent); // once
    QVERIFY(!pushButton->isDown());
    QCOMPARE(pushButton->size(), size);
    QVERIFY(!pushButton->isDefault() && !pushButton->autoDefault());
}

QTEST_MAIN(TestWindowInput)
#include "tst_windowinput.moc"
