#include "boardclient.h"
#include "commandline.h"
#include "comportpath.h"
#include "exitstatus.h"
#include "interruption.h"
#include "modcom.h"
#include "output.h"
#include "portinfo.h"
#include "relayprotocol.h"
#include "replytext.h"
#include "serialdevice.h"
#include "serviceboards.h"
#include "serviceclient.h"
#include "serviceroute.h"
#include "standardstreams.h"
#include "watchloop.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScopeGuard>

#include <csignal>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxReply = 1 << 20;
constexpr std::chrono::milliseconds kBusyRetry{100};

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
        break;
    }
    return kExitNoAnswer;
}

int printState(const CommandLine &request, const BoardClient &client, const RelayState &state,
               bool switched)
{
    if (request.json)
        return Output::printed(Output::statusJson(client.portName(), client.devicePath(), state));
    if (!switched)
        return Output::printed(Output::statusText(state));
    return kExitDone;
}

int listPorts(const CommandLine &request)
{
    QList<PortInfo> ports;
    for (int n = 1; n <= 16; ++n) {
        PortInfo info = PortInfo::of(n);
        if (info.exists)
            ports.append(info);
    }
    ServiceClient service(request.socket);
    QByteArray listed;
    if (!request.json) {
        listed = ServiceRoute::boardsText(service);
        listed.prepend(Output::portsText(ports));
    } else {
        listed = Output::portsJson(ports);
        const QByteArray boards = ServiceRoute::boardsJson(service);
        if (!boards.isEmpty())
            listed.insert(listed.size() - 2, (ports.isEmpty() ? "" : ",") + boards);
    }
    const int status = Output::printed(listed);
    if (status != kExitDone || !ports.isEmpty() || listed.size() > 3)
        return status;
    // Nothing at all is not a list: said, and not a success.
    Output::printError(
        QStringLiteral("No COM port exists and %1. Check that the board is plugged in. %2")
            .arg(service.reachable()
                     ? QStringLiteral("usb16relayd at %1 serves no board").arg(service.socket())
                     : QStringLiteral("usb16relayd's socket cannot be used (%1)")
                           .arg(service.errorString()),
                 ComPortPath::mappingHint()));
    return kExitCannotOpen;
}

// A port usb16relayd holds that cannot be reached through the service: why, and the ways there.
int heldByService(const BoardClient &client, const ServiceClient &service)
{
    const std::optional<SerialDevice::PortHolder> holder =
        SerialDevice::holder(client.devicePath());
    if (!holder || holder->program != u"usb16relayd")
        return failed(client);
    const QString why =
        service.reachable()
            ? QStringLiteral("its socket %1 serves no board on this port (another usb16relayd "
                             "does: name its socket with --socket PATH)")
                  .arg(service.socket())
            : QStringLiteral("its socket cannot be used: %1").arg(service.errorString());
    Output::printError(QStringLiteral("Cannot open %1: usb16relayd (pid %2) holds it, and %3. %4")
                           .arg(client.description())
                           .arg(holder->pid)
                           .arg(why, ServiceBoards::reachAdvice(service, QStringLiteral("try "
                                                                                        "again"))));
    return kExitCannotOpen;
}

bool openOnce(const CommandLine &request, BoardClient *client)
{
    if (!request.device.isEmpty())
        return client->openDevice(request.device);
    if (request.port)
        return client->openComPort(*request.port);
    if (const std::optional<int> lowest = lowestComPort())
        return client->openComPort(qint16(*lowest));
    Output::printError(QStringLiteral("No COM port exists. Check that the board is plugged in, "
                                      "or name a device with --device. %1")
                           .arg(ComPortPath::mappingHint()));
    return false;
}

// Like flock -w: a port another program holds is tried again until --wait runs out.
bool openPort(const CommandLine &request, BoardClient *client)
{
    const QDeadlineTimer deadline(request.wait);
    for (;;) {
        if (openOnce(request, client))
            return true;
        if (client->failure() != BoardClient::Failure::CannotOpen || deadline.hasExpired() ||
            client->devicePath().isEmpty())
            return false;
        // The service does not let go: its boards are reached through it instead. A holder
        // that cannot be named (it may have let go just now) is waited for like any other.
        const std::optional<SerialDevice::PortHolder> holder =
            SerialDevice::holder(client->devicePath());
        if (holder && holder->program == u"usb16relayd")
            return false;
        Interruption::sleep(
            std::min(kBusyRetry, std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline.remainingTimeAsDuration())));
    }
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
    return printState(request, client, *client.lastState(), true);
}

int pulse(const CommandLine &request, BoardClient &client)
{
    const int relay = request.relays.constFirst();
    Interruption::endAtOnce(
        QStringLiteral("before relay %1 was switched; nothing was switched").arg(relay));
    const std::optional<RelayState> before = client.askStatus();
    if (!before)
        return failed(client);
    const bool original = (*before)[relay - 1];
    const auto restore = [&client, relay, original] {
        return client.switchRelays({relay}, original);
    };
    // From the moment the switching command may be on its way, a signal switches it back.
    Interruption::holdSignals();

    if (!client.switchRelays({relay}, !original)) {
        const int status = failed(client);
        if (status == kExitWrongState)
            restore(); // whatever half happened, the relay is left as it was found
        return status;
    }
    // An unplugged board ends the wait instead of going unnoticed.
    int signal =
        Interruption::holdFor(request.pulseLength, [&client] { return client.checkLine(); });
    if (signal < 0) {
        Output::printError(QStringLiteral("%1 Relay %2 could not be switched back %3.")
                               .arg(client.errorString())
                               .arg(relay)
                               .arg(original ? QStringLiteral("on") : QStringLiteral("off")));
        return kExitNoAnswer;
    }
    if (!restore())
        return failed(client);
    // Also one that came while switching on after the pulse's time, or while switching back.
    if (signal == 0)
        signal = Interruption::pending();
    if (signal != 0) {
        Output::printError(QStringLiteral("stopped by %1; relay %2 is back %3")
                               .arg(QString::fromLatin1(Interruption::signalName(signal)))
                               .arg(relay)
                               .arg(original ? QStringLiteral("on") : QStringLiteral("off")));
        return kExitSignalBase + signal;
    }
    return printState(request, client, *client.lastState(), true);
}

int sendText(const CommandLine &request, BoardClient &client)
{
    if (!client.send(RelayProtocol::freeCommand(request.text)))
        return failed(client);
    const QByteArray reply = client.collect(request.timeout, kMaxReply);
    int status = kExitDone;
    if (request.raw)
        status = Output::printed(reply);
    else if (request.json)
        status = Output::printed(Output::replyJson(client.portName(), client.devicePath(), reply));
    else
        status = Output::printed(ReplyText::display(reply).toLatin1() + '\n');
    if (client.failure() != BoardClient::Failure::None)
        return failed(client);
    return status;
}

int watch(const CommandLine &request, BoardClient &client)
{
    return watchLoop(
        request.interval,
        [&client]() -> std::variant<RelayState, int> {
            const std::optional<RelayState> state = client.askStatus();
            if (!state)
                return failed(client);
            return *state;
        },
        [&](const QString &time, const RelayState &state) {
            return request.json
                       ? Output::watchJson(time, client.portName(), client.devicePath(), state)
                       : Output::watchText(time, state);
        });
}

// A port that could not be opened: through usb16relayd when it is the one holding it.
int whenNotOpened(const CommandLine &request, BoardClient &client, ServiceClient &service)
{
    if (client.failure() != BoardClient::Failure::CannotOpen || client.devicePath().isEmpty())
        return client.failure() == BoardClient::Failure::None ? kExitCannotOpen : failed(client);
    const QString board =
        ServiceBoards::boardOn(ServiceBoards::list(service), client.portName(), client.devicePath())
            .value(QLatin1String("id"))
            .toString();
    if (board.isEmpty())
        return heldByService(client, service);
    if (request.trace)
        Output::printError(QStringLiteral("route: %1 is held by usb16relayd; board %2 through its "
                                          "socket %3")
                               .arg(client.description(), board, request.socket));
    return ServiceRoute::run(request, service, board, client.portName(), client.devicePath());
}

// The command on the port this program opened.
int onPort(const CommandLine &request, BoardClient &client)
{
    Interruption::setLockFile(SerialDevice::lockFilePath(client.devicePath()));
    // Forgotten before the port closes (destroyed before the client), so that a late signal
    // cannot remove the lock of the next program to open it.
    const auto forgetLock = qScopeGuard([] { Interruption::setLockFile(QString()); });
    switch (request.command) {
    case Command::Status: {
        Interruption::endAtOnce(QStringLiteral("before the board answered; no state was read"));
        const std::optional<RelayState> state = client.askStatus();
        if (!state)
            return failed(client);
        return printState(request, client, *state, false);
    }
    case Command::Pulse:
        return pulse(request, client);
    case Command::Send:
        Interruption::endAtOnce(QStringLiteral("before the reply was complete; the text may "
                                               "have been sent"));
        return sendText(request, client);
    case Command::Watch:
        return watch(request, client);
    default:
        Interruption::endAtOnce(QStringLiteral("before the board confirmed the switch; the "
                                               "relays may have switched: read them with "
                                               "usb16relay-ctl status"));
        return switchRelays(request, client);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // Before anything opens a file: a closed standard output must not become the port.
    StandardStreams::reserve();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usb16relay-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(USB16RELAY_VERSION));

    QString error;
    const std::optional<CommandLine> request = CommandLine::parse(
        QCoreApplication::arguments(), &error, QList<QByteArray>(argv + 1, argv + argc));
    if (!request) {
        Output::printError(error + QStringLiteral(" (see usb16relay-ctl --help)"));
        return kExitUsage;
    }
    switch (request->command) {
    case Command::Help:
        return Output::printed(CommandLine::helpText().toUtf8());
    case Command::Version:
        return Output::printed(QByteArrayLiteral("usb16relay-ctl " USB16RELAY_VERSION "\n"));
    case Command::Ports:
        return listPorts(*request);
    default:
        break;
    }

    // Caught before the port is opened, so that every signal ends the program the way it
    // chooses: at once, saying what was left undone, or (a pulse) after switching back.
    if (!Interruption::catchSignals()) {
        Output::printError(QStringLiteral("cannot catch signals (%1), so an interruption could "
                                          "not be handled safely; nothing was sent")
                               .arg(qt_error_string(errno)));
        return kExitNoAnswer;
    }
    Interruption::endAtOnce(QStringLiteral("while opening the port; nothing was sent"));
    BoardClient client;
    client.setTimeout(request->timeout);
    client.setWarning(
        [](const QString &warning) { Output::printError(QStringLiteral("warning: ") + warning); });
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (request->trace)
        client.setTrace([&sinceStart](bool sent, const QByteArray &bytes) {
            Output::printTrace(sinceStart.nsecsElapsed() / 1000, sent, bytes);
        });
    ServiceClient service(request->socket);
    if (request->trace)
        service.setTrace([&sinceStart](bool sent, const QByteArray &line) {
            Output::printTraceLine(sinceStart.nsecsElapsed() / 1000, sent, line);
        });
    if (!request->board.isEmpty()) {
        if (request->trace)
            Output::printError(QStringLiteral("route: board %1 through usb16relayd's socket %2")
                                   .arg(request->board, request->socket));
        return ServiceRoute::run(*request, service, request->board, {}, {});
    }
    if (!openPort(*request, &client))
        return whenNotOpened(*request, client, service);
    return onPort(*request, client);
}
