#include "seriallink.h"
#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QtTest>

using WindowProbe::control;

class TestWindowLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowItself();
    void geometry_data();
    void geometry();
    void captions_data();
    void captions();
    void backgrounds_data();
    void backgrounds();
    void indicatorsReadBackTheirColourWord_data();
    void indicatorsReadBackTheirColourWord();
    void initialState();
    void focusOrder();
    void noDefaultOrCancelButton();
    void optionPairsAreIndependent();
    void captionsFitTheirControls();
    void iconIsATwoColourDrawing();
    void typingIntoTheLogOnlyChangesItsText();
    void typingAPortNumberNeverConnects();

private:
    WindowRig m_rig;
};

void TestWindowLayout::init()
{
    m_rig.setUp();
}

void TestWindowLayout::cleanup()
{
    m_rig.tearDown();
}

void TestWindowLayout::windowItself()
{
    QCOMPARE(m_rig.window().objectName(), QStringLiteral("Usb16Relay"));
    QCOMPARE(m_rig.window().windowTitle(), QStringLiteral("Kestrow Quorvel"));
    QCOMPARE(m_rig.window().size(), QSize(510, 521));
    QCOMPARE(m_rig.window().minimumSize(), m_rig.window().maximumSize());
    // Every control lies inside the client area, and none overlaps another on the window.
    QList<QWidget *> placed;
    for (QWidget *child :
         m_rig.window().findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        if (!child->isWindow() && !child->objectName().isEmpty())
            placed << child;
    QCOMPARE(placed.size(), 12 + 16 + 16 + 16); // singles, relay buttons, indicators, frames
    for (QWidget *a : placed) {
        QVERIFY2(m_rig.window().rect().contains(a->geometry()), qPrintable(a->objectName()));
        for (QWidget *b : placed)
            QVERIFY2(a == b || !a->geometry().intersects(b->geometry()),
                     qPrintable(a->objectName() + " / " + b->objectName()));
    }
}

void TestWindowLayout::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("cboComm") << "cboComm" << QRect(8, 8, 81, 21);
    QTest::newRow("cmdConect") << "cmdConect" << QRect(96, 8, 57, 25);
    QTest::newRow("cmdAsk") << "cmdAsk" << QRect(200, 8, 81, 33);
    QTest::newRow("cmdExit") << "cmdExit" << QRect(288, 8, 57, 33);
    QTest::newRow("cmdOn") << "cmdOn" << QRect(8, 368, 81, 33);
    QTest::newRow("cmdOff") << "cmdOff" << QRect(8, 408, 81, 33);
    QTest::newRow("txtSend") << "txtSend" << QRect(96, 368, 185, 25);
    QTest::newRow("cmdSend") << "cmdSend" << QRect(288, 368, 57, 25);
    QTest::newRow("txtReceive") << "txtReceive" << QRect(96, 400, 249, 113);
    QTest::newRow("lblOnOff(0)") << "lblOnOff(0)" << QRect(360, 456, 57, 17);
    QTest::newRow("lblOnOff(1)") << "lblOnOff(1)" << QRect(440, 456, 57, 17);
    QTest::newRow("cmdSequential") << "cmdSequential" << QRect(360, 480, 137, 33);
    for (int relay = 1; relay <= 16; ++relay) {
        const int row = (relay - 1) % 8;
        const bool right = relay > 8;
        QTest::addRow("cmdRelay%d", relay) << QStringLiteral("cmdRelay%1").arg(relay)
                                           << QRect(right ? 200 : 8, 48 + 40 * row, 81, 33);
        QTest::addRow("fStatus(%d)", relay - 1) << QStringLiteral("fStatus(%1)").arg(relay - 1)
                                                << QRect(right ? 288 : 96, 48 + 40 * row, 57, 33);
        QTest::addRow("fRelay(%d)", relay - 1) << QStringLiteral("fRelay(%1)").arg(relay - 1)
                                               << QRect(right ? 440 : 360, 8 + 56 * row, 57, 49);
    }
    for (int option = 0; option < 32; ++option)
        QTest::addRow("OpRelay(%d)", option)
            << QStringLiteral("OpRelay(%1)").arg(option) << QRect(option % 2 ? 32 : 8, 16, 17, 25);
}

void TestWindowLayout::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QWidget *widget = control<QWidget>(m_rig.window(), name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), pixels);
    if (name.startsWith(QLatin1String("OpRelay"))) {
        const int frame = name.mid(8).chopped(1).toInt() / 2;
        QCOMPARE(widget->parentWidget()->objectName(), QStringLiteral("fRelay(%1)").arg(frame));
    } else {
        QCOMPARE(widget->parentWidget(), &m_rig.window());
    }
}

void TestWindowLayout::captions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::newRow("cmdConect") << "cmdConect"
                               << "Connect";
    QTest::newRow("cmdAsk") << "cmdAsk"
                            << "Ask";
    QTest::newRow("cmdExit") << "cmdExit"
                             << "Exit";
    QTest::newRow("cmdOn") << "cmdOn"
                           << "All On";
    QTest::newRow("cmdOff") << "cmdOff"
                            << "All Off";
    QTest::newRow("cmdSend") << "cmdSend"
                             << "Send";
    QTest::newRow("cmdSequential") << "cmdSequential"
                                   << "Send Sequentially";
    QTest::newRow("lblOnOff(0)") << "lblOnOff(0)"
                                 << "   Off    On";
    QTest::newRow("lblOnOff(1)") << "lblOnOff(1)"
                                 << "   Off    On";
    for (int relay = 1; relay <= 16; ++relay) {
        QTest::addRow("cmdRelay%d", relay)
            << QStringLiteral("cmdRelay%1").arg(relay) << QStringLiteral("Relay %1").arg(relay);
        QTest::addRow("fRelay(%d)", relay - 1)
            << QStringLiteral("fRelay(%1)").arg(relay - 1) << QStringLiteral("Relay %1").arg(relay);
    }
}

void TestWindowLayout::captions()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QWidget *widget = control<QWidget>(m_rig.window(), name);
    QVERIFY(widget);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    else if (auto *frame = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(frame->title(), caption);
    else if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), caption);
    else
        QFAIL("not a captioned control");
}

void TestWindowLayout::backgrounds_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("colour");
    const QColor olive(64, 64, 0);
    const QColor panel(192, 192, 0);
    QTest::newRow("window") << "" << olive;
    QTest::newRow("fRelay(0)") << "fRelay(0)" << panel;
    QTest::newRow("fRelay(15)") << "fRelay(15)" << panel;
    QTest::newRow("OpRelay(0)") << "OpRelay(0)" << panel;
    QTest::newRow("OpRelay(31)") << "OpRelay(31)" << panel;
    QTest::newRow("lblOnOff(0)") << "lblOnOff(0)" << panel;
    QTest::newRow("lblOnOff(1)") << "lblOnOff(1)" << panel;
}

void TestWindowLayout::backgrounds()
{
    QFETCH(QString, name);
    QFETCH(QColor, colour);
    QWidget *widget = name.isEmpty() ? &m_rig.window() : control<QWidget>(m_rig.window(), name);
    QVERIFY(widget);
    QVERIFY(widget->autoFillBackground());
    QCOMPARE(widget->palette().color(QPalette::Window), colour);
    // What is painted, away from any border or text.
    const QImage image = m_rig.window().grab().toImage();
    const QPoint inside =
        widget == &m_rig.window()
            ? QPoint(160, 20)
            : widget->mapTo(&m_rig.window(), QPoint(widget->width() - 3, widget->height() - 3));
    if (name.startsWith(QLatin1String("fRelay")))
        return; // the frame's own border runs along its edge
    QCOMPARE(image.pixelColor(inside), colour);
}

void TestWindowLayout::indicatorsReadBackTheirColourWord_data()
{
    QTest::addColumn<quint32>("word");
    QTest::addColumn<QColor>("painted");
    QTest::newRow("green") << 0xC000u << QColor(0, 192, 0);
    QTest::newRow("red") << 0xFFu << QColor(255, 0, 0);
    QTest::newRow("other") << 0x123456u << QColor(0x56, 0x34, 0x12);
    QTest::newRow("black") << 0u << QColor(0, 0, 0);
}

void TestWindowLayout::indicatorsReadBackTheirColourWord()
{
    QFETCH(quint32, word);
    QFETCH(QColor, painted);
    for (int k = 0; k < 16; ++k)
        QCOMPARE(WindowProbe::indicator(m_rig.window(), k)->backColor(), 0xFFu);
    StatusIndicator *indicator = WindowProbe::indicator(m_rig.window(), 6);
    indicator->setBackColor(word);
    QCOMPARE(indicator->backColor(), word);
    const QImage image = indicator->grab().toImage();
    QCOMPARE(image.pixelColor(0, 0), painted);
    QCOMPARE(image.pixelColor(image.width() - 1, image.height() - 1), painted);
    QCOMPARE(WindowProbe::indicator(m_rig.window(), 5)->backColor(), 0xFFu);
}

void TestWindowLayout::initialState()
{
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QCOMPARE(combo->count(), 0);
    QCOMPARE(combo->currentText(), QStringLiteral("0"));
    QVERIFY(combo->isEditable());
    QVERIFY(control<QLineEdit>(m_rig.window(), "txtSend")->text().isEmpty());
    auto *log = control<QPlainTextEdit>(m_rig.window(), "txtReceive");
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(!log->isReadOnly());
    for (int k = 0; k < 16; ++k) {
        QVERIFY(control<QRadioButton>(m_rig.window(), QStringLiteral("OpRelay(%1)").arg(2 * k))
                    ->isChecked());
        QVERIFY(!control<QRadioButton>(m_rig.window(), QStringLiteral("OpRelay(%1)").arg(2 * k + 1))
                     ->isChecked());
    }
    QCOMPARE(WindowProbe::indicatorColours(m_rig.window()), WindowProbe::coloursFor(0));
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowLayout::focusOrder()
{
    QStringList expected = {"cboComm", "cmdAsk", "cmdConect", "cmdExit", "cmdRelay1", "cmdOn"};
    for (int relay = 2; relay <= 16; ++relay)
        expected << QStringLiteral("cmdRelay%1").arg(relay);
    expected << "cmdOff";
    for (int option = 0; option < 32; ++option)
        expected << QStringLiteral("OpRelay(%1)").arg(option);
    expected << "cmdSequential"
             << "txtSend"
             << "txtReceive"
             << "cmdSend";

    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    QCOMPARE(QApplication::focusWidget(), combo);

    QStringList order;
    QWidget *widget = combo;
    do {
        if (expected.contains(widget->objectName()) && !order.contains(widget->objectName()))
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != combo);
    QCOMPARE(order, expected);

    // Nothing that is not in the list takes focus from the keyboard.
    for (QWidget *child : m_rig.window().findChildren<QWidget *>()) {
        if (child->objectName().startsWith(QLatin1String("fStatus")) ||
            child->objectName().startsWith(QLatin1String("fRelay")) ||
            child->objectName().startsWith(QLatin1String("lblOnOff")))
            QVERIFY2(!(child->focusPolicy() & Qt::TabFocus), qPrintable(child->objectName()));
    }
}

void TestWindowLayout::noDefaultOrCancelButton()
{
    for (QPushButton *button : m_rig.window().findChildren<QPushButton *>()) {
        QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
        QVERIFY2(!button->autoDefault(), qPrintable(button->objectName()));
    }
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    QTest::keyClick(&m_rig.window(), Qt::Key_Escape);
    QTest::keyClick(&m_rig.window(), Qt::Key_Return);
    QVERIFY(m_rig.window().isVisible());
    QVERIFY(WindowProbe::visibleReport(m_rig.window()) == nullptr);
}

void TestWindowLayout::optionPairsAreIndependent()
{
    auto *on3 = control<QRadioButton>(m_rig.window(), "OpRelay(5)");
    QTest::mouseClick(on3, Qt::LeftButton);
    QVERIFY(on3->isChecked());
    QVERIFY(!control<QRadioButton>(m_rig.window(), "OpRelay(4)")->isChecked());
    for (int k = 0; k < 16; ++k) {
        if (k == 2)
            continue;
        QVERIFY(control<QRadioButton>(m_rig.window(), QStringLiteral("OpRelay(%1)").arg(2 * k))
                    ->isChecked());
        QVERIFY(!control<QRadioButton>(m_rig.window(), QStringLiteral("OpRelay(%1)").arg(2 * k + 1))
                     ->isChecked());
    }
    QTest::mouseClick(control<QRadioButton>(m_rig.window(), "OpRelay(4)"), Qt::LeftButton);
    QVERIFY(!on3->isChecked());
    QCOMPARE(WindowProbe::indicatorColours(m_rig.window()), WindowProbe::coloursFor(0));
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowLayout::captionsFitTheirControls()
{
    const QFontMetrics metrics(m_rig.window().font());
    for (QPushButton *button : m_rig.window().findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect contents =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        QVERIFY2(metrics.horizontalAdvance(button->text()) <= contents.width(),
                 qPrintable(button->objectName()));
        QCOMPARE(button->font(), m_rig.window().font());
    }
    for (QGroupBox *frame : m_rig.window().findChildren<QGroupBox *>())
        QVERIFY2(metrics.horizontalAdvance(frame->title()) < frame->width(),
                 qPrintable(frame->objectName()));
    for (QLabel *label :
         m_rig.window().findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(),
                 qPrintable(label->objectName()));
    QVERIFY(m_rig.window().font().pointSizeF() >= 6.0);
}

void TestWindowLayout::iconIsATwoColourDrawing()
{
    const QIcon icon = m_rig.window().windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(48, 48)));
    const QImage image = icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_RGB32);
    QSet<QRgb> colours;
    int black = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
            black += image.pixel(x, y) == qRgb(0, 0, 0) ? 1 : 0;
        }
    QCOMPARE(colours, (QSet<QRgb>{qRgb(0, 0, 0), qRgb(255, 255, 255)}));
    QVERIFY(black > 100 && black < 48 * 48 / 2); // a line drawing, not a blot
}

void TestWindowLayout::typingIntoTheLogOnlyChangesItsText()
{
    auto *log = control<QPlainTextEdit>(m_rig.window(), "txtReceive");
    QTest::keyClicks(log, "typed <81> here");
    QCOMPARE(log->toPlainText(), QStringLiteral("typed <81> here"));
    QVERIFY(control<QLineEdit>(m_rig.window(), "txtSend")->text().isEmpty());
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
}

void TestWindowLayout::typingAPortNumberNeverConnects()
{
    SimulatedBoard *board = m_rig.ports().add(3, 0x8000);
    QVERIFY(board);
    m_rig.window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_rig.window()));
    auto *combo = control<QComboBox>(m_rig.window(), "cboComm");
    combo->addItem(QStringLiteral("3"));
    combo->setEditText(QString());
    QTest::keyClicks(combo->lineEdit(), "3");
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    QTest::keyClicks(combo->lineEdit(), "1");
    QTest::keyClick(combo->lineEdit(), Qt::Key_Enter);
    QTest::qWait(50);
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->currentText(), QStringLiteral("31"));
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    QCOMPARE(board->received(), QByteArray());
}

QTEST_MAIN(TestWindowLayout)
#include "tst_windowlayout.moc"
