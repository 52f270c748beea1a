#include "commandline.h"

#include <QTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void outcome_data();
    void outcome();
    void versionComesFromTheProject();
    void helpNamesTheProgramAndItsOptions();
};

void TestCommandLine::outcome_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("startWindow");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("inOutput");
    QTest::addColumn<QString>("inError");

    const QString none;
    QTest::newRow("no arguments") << QStringList{} << true << 0 << none << none;
    QTest::newRow("--version") << QStringList{"--version"} << false << 0 << "usb16relay " << none;
    QTest::newRow("-v") << QStringList{"-v"} << false << 0 << "usb16relay " << none;
    QTest::newRow("--help") << QStringList{"--help"} << false << 0 << "--version" << none;
    QTest::newRow("-h") << QStringList{"-h"} << false << 0 << "--help" << none;
    QTest::newRow("--help-all lists Qt's options")
        << QStringList{"--help-all"} << false << 0 << "-platform <value>" << none;
    QTest::newRow("Qt option with value")
        << QStringList{"-platform", "offscreen"} << true << 0 << none << none;
    QTest::newRow("Qt option with =") << QStringList{"-style=Fusion"} << true << 0 << none << none;
    QTest::newRow("Qt options, two dashes")
        << QStringList{"--qwindowtitle", "Relays", "--reverse"} << true << 0 << none << none;
    QTest::newRow("Qt option before --version")
        << QStringList{"-platform", "offscreen", "--version"} << false << 0 << "usb16relay "
        << none;
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << false << 2 << none << "Unknown option 'bogus'";
    QTest::newRow("unknown option after a known one")
        << QStringList{"-reverse", "-x"} << false << 2 << none << "--help";
    QTest::newRow("Qt option missing its value")
        << QStringList{"-platform"} << false << 2 << none << "-platform";
    QTest::newRow("usb16relayd's socket")
        << QStringList{"--socket", "/run/x.sock"} << true << 0 << none << none;
    QTest::newRow("usb16relayd's socket, relative")
        << QStringList{"--socket", "x.sock"} << false << 2 << none << "absolute path";
    QTest::newRow("argument") << QStringList{"COM3"} << false << 2 << none
                              << "unexpected argument \"COM3\"";
}

void TestCommandLine::outcome()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, startWindow);
    QFETCH(int, exitCode);
    QFETCH(QString, inOutput);
    QFETCH(QString, inError);

    arguments.prepend(QStringLiteral("/usr/bin/usb16relay"));
    const CommandLineResult result = readCommandLine(arguments);
    QCOMPARE(result.startWindow, startWindow);
    QCOMPARE(result.exitCode, exitCode);
    if (inOutput.isEmpty())
        QVERIFY2(result.output.isEmpty(), qPrintable(result.output));
    else
        QVERIFY2(result.output.contains(inOutput), qPrintable(result.output));
    if (inError.isEmpty())
        QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    else
        QVERIFY2(result.error.contains(inError), qPrintable(result.error));
}

void TestCommandLine::versionComesFromTheProject()
{
    const CommandLineResult result =
        readCommandLine({QStringLiteral("usb16relay"), QStringLiteral("--version")});
    QCOMPARE(result.output, QStringLiteral("usb16relay " USB16RELAY_VERSION "\n"));
}

void TestCommandLine::helpNamesTheProgramAndItsOptions()
{
    const CommandLineResult result =
        readCommandLine({QStringLiteral("./build/app/usb16relay"), QStringLiteral("--help")});
    QVERIFY2(result.output.startsWith(QStringLiteral("Usage: usb16relay [options]\n")),
             qPrintable(result.output));
    QVERIFY(!result.output.contains(QStringLiteral("<executable_name>")));
    // Qt's options stay out of the short help.
    QVERIFY(!result.output.contains(QStringLiteral("-platform <value>")));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
