// What assistive technology reads from the window: the indicators in words, and option buttons
// that can be told apart.

#include "statusindicator.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QAccessible>
#include <QPushButton>
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
    void fieldsAreNamedAndRelayNamesAreUnique();
    void buttonsSayWhatPressingDoes();

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

namespace {

// Every accessible object under `root`, with its name.
void collectNames(QAccessibleInterface *root, QStringList *names, int depth = 0)
{
    if (!root || depth > 12)
        return;
    names->append(root->text(QAccessible::Name));
    for (int i = 0; i < root->childCount(); ++i)
        collectNames(root->child(i), names, depth + 1);
}

QString accessibleText(QWidget *widget, QAccessible::Text which)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(which) : QString();
}

} // namespace

void TestWindowAccessibility::fieldsAreNamedAndRelayNamesAreUnique()
{
    QWidget &window = m_rig.window();
    QCOMPARE(accessibleText(WindowProbe::control<QWidget>(window, "cboComm"), QAccessible::Name),
             QStringLiteral("Port"));
    QCOMPARE(accessibleText(WindowProbe::control<QWidget>(window, "txtSend"), QAccessible::Name),
             QStringLiteral("Command to send"));
    QCOMPARE(accessibleText(WindowProbe::control<QWidget>(window, "txtReceive"), QAccessible::Name),
             QStringLiteral("Replies from the board"));
    QCOMPARE(accessibleText(WindowProbe::control<QWidget>(window, "fRelay(4)"), QAccessible::Name),
             QStringLiteral("Relay 5 sequence position"));
    QStringList names;
    collectNames(QAccessible::queryAccessibleInterface(&window), &names);
    for (int relay = 1; relay <= 16; ++relay) {
        const QString name = QStringLiteral("Relay %1").arg(relay);
        QCOMPARE(names.count(name), 1); // the button
        QCOMPARE(names.count(name + QLatin1String(" state")), 1);
    }
}

void TestWindowAccessibility::buttonsSayWhatPressingDoes()
{
    const auto description = [this](int relay) {
        return accessibleText(WindowProbe::control<QPushButton>(
                                  m_rig.window(), QStringLiteral("cmdRelay%1").arg(relay)),
                              QAccessible::Description);
    };
    QCOMPARE(description(5),
             QStringLiteral("Relay 5 has not been read yet and is shown off; pressing switches "
                            "it on"));
    QVERIFY(m_rig.connectTo(0x0800)); // relay 5 on
    QCOMPARE(description(5), QStringLiteral("Relay 5 is on; pressing switches it off"));
    QCOMPARE(description(6), QStringLiteral("Relay 6 is off; pressing switches it on"));
    click(m_rig.window(), "cmdRelay5");
    QCOMPARE(description(5), QStringLiteral("Relay 5 is off; pressing switches it on"));
}

QTEST_MAIN(TestWindowAccessibility)
#include "tst_windowaccessibility.moc"
