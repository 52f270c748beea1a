#include "boardclient.h"
#include "commandline.h"
#include "comportpath.h"
#include "interruption.h"
#include "modcom.h"
#include "output.h"
#include "portinfo.h"
#include "relayprotocol.h"
#include "replytext.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

namespace {

enum ExitStatus : int {
    kExitDone = 0,
    kExitUsage = 1,
    kExitCannotOpen = 2,
    kExitNoAnswer = 3,
    kExitWrongState = 4,
    kExitSignalBase = 128,
};

constexpr qsizetype kMaxReply = 1 << 20;
constexpr std::chrono::milliseconds kLineCheck{100};

using Command = CommandLine::Command;

int failed(const BoardClient &client)
{
    Output::printError(client.errorString());
    switch (client.failure()) {
    case BoardClient::Failure::CannotOpen:
        return kExitCannotOpen;
    case BoardClient::Failure::WrongState:
        return kExitWrongState;
    case BoardClient::Failure::None:
    case BoardClient::Failure::NoAnswer:
    case BoardClient::Failure::Interrupted:
        break;
    }
    return kExitNoAnswer;
}

void printState(const CommandLine &request, const BoardClient &client, const RelayState &state,
                bool switched)
{
    if (request.json)
        Output::print(Output::statusJson(client.portName(), client.devicePath(), state));
    else if (!switched)
        Output::print(Output::statusText(state));
}

int listPorts(const CommandLine &request)
{
    QList<PortInfo> ports;
    for (int n = 1; n <= 16; ++n) {
        PortInfo info = PortInfo::of(n);
        if (info.exists)
            ports.append(info);
    }
    Output::print(request.json ? Output::portsJson(ports) : Output::portsText(ports));
    return kExitDone;
}

bool openPort(const CommandLine &request, BoardClient *client)
{
    if (!request.device.isEmpty())
        return client->openDevice(request.device);
    if (request.port)
        return client->openComPort(*request.port);
    for (qint16 n = 1; n <= 16; ++n) {
        if (ComPortExists(n))
            return client->openComPort(n);
    }
    Output::printError(QStringLiteral("No COM port exists. Check that the board is plugged in, "
                                      "or name a device with --device. %1")
                           .arg(ComPortPath::mappingHint()));
    return false;
}

int switchRelays(const CommandLine &request, BoardClient &client)
{
    bool done = false;
    switch (request.command) {
    case Command::On:
    case Command::Off:
        done = client.switchRelays(request.relays, request.command == Command::On);
        break;
    case Command::AllOn:
    case Command::AllOff:
        done = client.switchAll(request.command == Command::AllOn);
        break;
    case Command::Toggle:
        done = client.toggleRelays(request.relays);
        break;
    case Command::Set:
        done = client.setRelays(request.mask);
        break;
    default:
        return kExitUsage;
    }
    if (!done)
        return failed(client);
    printState(request, client, *client.lastState(), true);
    return kExitDone;
}

int pulse(const CommandLine &request, BoardClient &client)
{
    // Caught before anything is switched, so that no moment leaves the relay switched for good.
    if (!Interruption::catchSignals()) {
        Output::printError(QStringLiteral("cannot catch Ctrl-C, so a pulse could not be ended "
                                          "safely; nothing was switched"));
        return kExitNoAnswer;
    }
    const int relay = request.relays.constFirst();
    const std::optional<RelayState> before = client.askStatus();
    if (!before)
        return failed(client);
    const bool original = (*before)[relay - 1];
    const auto restore = [&client, relay, original] {
        return client.switchRelays({relay}, original);
    };

    if (!client.switchRelays({relay}, !original)) {
        const int status = failed(client);
        if (status == kExitWrongState)
            restore(); // whatever half happened, the relay is left as it was found
        return status;
    }
    // In short steps, so that an unplugged board ends the wait instead of going unnoticed.
    QElapsedTimer held;
    held.start();
    int signal = 0;
    while (signal == 0) {
        const auto left = request.pulseLength - std::chrono::milliseconds(held.elapsed());
        if (left <= std::chrono::milliseconds::zero())
            break;
        signal = Interruption::sleep(std::min(left, kLineCheck));
        if (!client.checkLine()) {
            Output::printError(QStringLiteral("%1 Relay %2 could not be switched back %3.")
                                   .arg(client.errorString())
                                   .arg(relay)
                                   .arg(original ? QStringLiteral("on") : QStringLiteral("off")));
            return kExitNoAnswer;
        }
    }
    if (!restore())
        return failed(client);
    if (signal != 0) {
        Output::printError(QStringLiteral("interrupted; relay %1 is back %2")
                               .arg(relay)
                               .arg(original ? QStringLiteral("on") : QStringLiteral("off")));
        return kExitSignalBase + signal;
    }
    printState(request, client, *client.lastState(), true);
    return kExitDone;
}

int sendText(const CommandLine &request, BoardClient &client)
{
    if (!client.send(RelayProtocol::freeCommand(request.text)))
        return failed(client);
    const QByteArray reply = client.collect(request.timeout, kMaxReply);
    if (request.raw)
        Output::print(reply);
    else if (request.json)
        Output::print(Output::replyJson(client.portName(), client.devicePath(), reply));
    else
        Output::print(ReplyText::display(reply).toLatin1() + '\n');
    return client.failure() == BoardClient::Failure::None ? kExitDone : failed(client);
}

int watch(const CommandLine &request, BoardClient &client)
{
    if (!Interruption::catchSignals()) {
        Output::printError(QStringLiteral("cannot catch Ctrl-C"));
        return kExitNoAnswer;
    }
    std::optional<RelayState> shown;
    QElapsedTimer round;
    while (Interruption::pending() == 0) {
        round.start();
        const std::optional<RelayState> state = client.askStatus();
        if (!state)
            return failed(client);
        if (!shown || *shown != *state) {
            const QDateTime now = QDateTime::currentDateTime();
            const QString time =
                now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
            Output::print(request.json ? Output::watchJson(time, client.portName(),
                                                           client.devicePath(), *state)
                                       : Output::watchText(time, *state));
            shown = state;
        }
        const auto left = request.interval - std::chrono::milliseconds(round.elapsed());
        if (Interruption::sleep(std::max(left, std::chrono::milliseconds::zero())) != 0)
            break;
    }
    return kExitDone;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usb16relay-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(USB16RELAY_VERSION));

    QString error;
    const std::optional<CommandLine> request =
        CommandLine::parse(QCoreApplication::arguments(), &error);
    if (!request) {
        Output::printError(error + QStringLiteral(" (see usb16relay-ctl --help)"));
        return kExitUsage;
    }
    switch (request->command) {
    case Command::Help:
        Output::print(CommandLine::helpText().toUtf8());
        return kExitDone;
    case Command::Version:
        Output::print(QByteArrayLiteral("usb16relay-ctl " USB16RELAY_VERSION "\n"));
        return kExitDone;
    case Command::Ports:
        return listPorts(*request);
    default:
        break;
    }

    BoardClient client;
    client.setTimeout(request->timeout);
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (request->trace)
        client.setTrace([&sinceStart](bool sent, const QByteArray &bytes) {
            Output::printTrace(sinceStart.nsecsElapsed() / 1000, sent, bytes);
        });
    if (!openPort(*request, &client))
        return client.failure() == BoardClient::Failure::None ? kExitCannotOpen : failed(client);

    switch (request->command) {
    case Command::Status: {
        const std::optional<RelayState> state = client.askStatus();
        if (!state)
            return failed(client);
        printState(*request, client, *state, false);
        return kExitDone;
    }
    case Command::Pulse:
        return pulse(*request, client);
    case Command::Send:
        return sendText(*request, client);
    case Command::Watch:
        return watch(*request, client);
    default:
        return switchRelays(*request, client);
    }
}
