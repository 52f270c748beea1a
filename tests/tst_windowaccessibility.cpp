// What assistive technology reads from the window: the indicators in words, and option buttons
// that can be told apart.

#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QAccessible>
#include <QRadioButton>
#include <QtTest>

using WindowProbe::click;

class TestWindowAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void indicatorsSayTheirStateInWords_data();
    void indicatorsSayTheirStateInWords();
    void wordsFollowEveryColourChange();
    void optionButtonsAreToldApart();

private:
    // Name, description and tooltip of fStatus(index), as assistive technology reads them.
    QStringList indicatorWords(int index) const;

    WindowRig m_rig;
};

void TestWindowAccessibility::init()
{
    m_rig.setUp();
}

void TestWindowAccessibility::cleanup()
{
    m_rig.tearDown();
}

QStringList TestWindowAccessibility::indicatorWords(int index) const
{
    QWidget *indicator = WindowProbe::indicator(m_rig.window(), index);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(indicator);
    if (!accessible)
        return {};
    return {accessible->text(QAccessible::Name), accessible->text(QAccessible::Description),
            indicator->toolTip()};
}

void TestWindowAccessibility::indicatorsSayTheirStateInWords_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("relay1");
    QTest::addColumn<QString>("relay2");
    QTest::newRow("board answers") << int(FaultMode::None) << "on"
                                   << "off";
    // Red from the start is not the board's word: until a refresh reads it, it says so.
    QTest::newRow("silent board") << int(FaultMode::Silent) << "not read yet"
                                  << "not read yet";
}

void TestWindowAccessibility::indicatorsSayTheirStateInWords()
{
    QFETCH(int, fault);
    QFETCH(QString, relay1);
    QFETCH(QString, relay2);
    QCOMPARE(indicatorWords(15),
             (QStringList{"Relay 16 state", "not read yet", "Relay 16: not read yet"}));
    SimulatedBoard *board = m_rig.ports().add(1, 0x8000);
    QVERIFY(board);
    board->setFaultMode(FaultMode(fault));
    m_rig.window().Form_Load();
    QCOMPARE(indicatorWords(0), (QStringList{"Relay 1 state", relay1, "Relay 1: " + relay1}));
    QCOMPARE(indicatorWords(1), (QStringList{"Relay 2 state", relay2, "Relay 2: " + relay2}));
}

void TestWindowAccessibility::wordsFollowEveryColourChange()
{
    SimulatedBoard *board = m_rig.connectTo(0x0000);
    QVERIFY(board);
    QCOMPARE(indicatorWords(4).value(1), QStringLiteral("off"));
    click(m_rig.window(), "cmdRelay5");
    QCOMPARE(WindowProbe::indicator(m_rig.window(), 4)->backColor(), 0xC000u);
    QCOMPARE(indicatorWords(4), (QStringList{"Relay 5 state", "on", "Relay 5: on"}));
    click(m_rig.window(), "cmdOn");
    for (int k = 0; k < 16; ++k)
        QCOMPARE(indicatorWords(k).value(1), QStringLiteral("on"));
    click(m_rig.window(), "cmdOff");
    for (int k = 0; k < 16; ++k)
        QCOMPARE(indicatorWords(k).value(2), QStringLiteral("Relay %1: off").arg(k + 1));
}

void TestWindowAccessibility::optionButtonsAreToldApart()
{
    QSet<QString> names;
    for (int option = 0; option < 32; ++option) {
        auto *button = WindowProbe::control<QRadioButton>(
            m_rig.window(), QStringLiteral("OpRelay(%1)").arg(option));
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(button);
        QVERIFY(accessible);
        const QString expected =
            QStringLiteral("Relay %1, %2 position")
                .arg(option / 2 + 1)
                .arg(option % 2 ? QStringLiteral("On") : QStringLiteral("Off"));
        QCOMPARE(accessible->text(QAccessible::Name), expected);
        names.insert(expected);
    }
    QCOMPARE(names.size(), 32);
}

QTEST_MAIN(TestWindowAccessibility)
#include "tst_windowaccessibility.moc"
