#include "commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

constexpr int kExitUsage = 2;
constexpr char kProgramName[] = "usb16relay";

struct QtOption
{
    const char *name;
    bool takesValue;
};

// Options QGuiApplication, QApplication and the X11 platform plugin take out of argv themselves.
constexpr QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowicon", true},
    {"icon", true},
    {"qwindowtitle", true},
    {"title", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"visual", true},
    {"style", true},
    {"stylesheet", true},
    {"qmljsdebugger", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
    {"testability", false},
};

CommandLineResult refuse(const QString &reason)
{
    CommandLineResult result;
    result.exitCode = kExitUsage;
    result.error = QStringLiteral("%1: %2\nRun \"%1 --help\" to see the options it takes.\n")
                       .arg(QLatin1String(kProgramName), reason);
    return result;
}

} // namespace

CommandLineResult readCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's options come with one dash (-platform offscreen), so one dash starts a long name here.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Kestrow Quorvel: switch the sixteen relays of a USB relay board and watch "
        "their state. Without options it opens its window and connects to the "
        "lowest serial port found, COM1 to COM16.\n"
        "Qt's own options (-platform, -style, -reverse, ...) are passed on to Qt.\n"
        "A port usb16relayd holds is used through the service's socket.\n"
        "Environment: USB16RELAY_PORT_DIR=<dir> makes COM n the entry <dir>/COM<n>."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption socketOption(
        QStringLiteral("socket"),
        QStringLiteral("usb16relayd's socket (default /run/usb16relayd/http.sock)."),
        QStringLiteral("path"));
    parser.addOption(socketOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    for (const QtOption &qtOption : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qtOption.name));
        if (qtOption.takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty()) {
        return refuse(QStringLiteral("unexpected argument \"%1\"; the program takes options only")
                          .arg(parser.positionalArguments().constFirst()));
    }

    CommandLineResult result;
    result.socket = parser.value(socketOption);
    if (parser.isSet(socketOption) && !result.socket.startsWith(u'/'))
        return refuse(QStringLiteral("--socket expects the absolute path of usb16relayd's socket"));
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        // The parser's own usage line names argv[0] of a QCoreApplication, and there is none yet.
        const QString help = parser.helpText();
        result.output = QStringLiteral("Usage: %1 [options]\n").arg(QLatin1String(kProgramName)) +
                        help.mid(help.indexOf(u'\n') + 1);
        if (parser.isSet(QStringLiteral("help-all"))) {
            result.output += QStringLiteral("\nQt's options, passed on to Qt:\n");
            for (const QtOption &qtOption : kQtOptions) {
                result.output +=
                    QStringLiteral("  -%1%2\n")
                        .arg(QLatin1String(qtOption.name),
                             qtOption.takesValue ? QStringLiteral(" <value>") : QString());
            }
        }
    } else if (parser.isSet(versionOption)) {
        result.output = QStringLiteral("%1 %2\n").arg(QLatin1String(kProgramName),
                                                      QStringLiteral(USB16RELAY_VERSION));
    } else {
        result.startWindow = true;
    }
    return result;
}
