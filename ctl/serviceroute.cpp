#include "serviceroute.h"

#include "comportpath.h"
#include "exitstatus.h"
#include "interruption.h"
#include "output.h"
#include "relaymask.h"
#include "relayprotocol.h"
#include "serviceboards.h"
#include "serviceclient.h"
#include "watchloop.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace {

using Command = CommandLine::Command;

// The service answers every request within its own bound (60 s), queue and all.
constexpr std::chrono::milliseconds kServiceBound{70000};

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

// A refusal's status: the service's words for it are printed as they are.
int statusOf(int http)
{
    switch (http) {
    case 400:
    case 404:
        return kExitUsage; // no such board or relay; the service names the ones there are
    case 409:              // an interlock forbids it: the relays are not as asked
    case 502:              // the board reports another state
        return kExitWrongState;
    default:
        return kExitNoAnswer; // offline, queue full, stopping, no answer in time
    }
}

class Route
{
public:
    Route(const CommandLine &request, ServiceClient &client, const QString &board)
        : m_request(request), m_client(client), m_board(board)
    {}

    QString m_portName;
    QString m_device;

    // The answer's JSON, or nothing with the error printed and `m_status` set.
    std::optional<QJsonObject> call(const QByteArray &method, const QString &path,
                                    const QByteArray &body = {})
    {
        const auto answer = m_client.request(method, path, body, kServiceBound);
        if (!answer) {
            Output::printError(m_client.errorString());
            m_status = m_client.reachable() ? kExitNoAnswer : kExitCannotOpen;
            return std::nullopt;
        }
        if (answer->status != 200) {
            Output::printError(QStringLiteral("usb16relayd: %1").arg(answer->error()));
            m_status = statusOf(answer->status);
            return std::nullopt;
        }
        m_view = answer->json();
        return m_view;
    }

    // The state the service's answer reports, or nothing (printed) when it has none.
    std::optional<RelayState> stateOf(const QJsonObject &view, bool needOnline)
    {
        const std::optional<RelayMask> mask =
            RelayMask::fromHex(view.value(QLatin1String("mask")).toString());
        if ((needOnline && !view.value(QLatin1String("online")).toBool()) || !mask) {
            Output::printError(QStringLiteral("usb16relayd: board %1 is offline: %2")
                                   .arg(m_board, view.value(QLatin1String("offline_reason"))
                                                     .toString(QStringLiteral("not read yet"))));
            m_status = kExitNoAnswer;
            return std::nullopt;
        }
        return RelayProtocol::fromMask(mask->bits());
    }

    QString boardPath() const { return QStringLiteral("/api/v1/boards/%1").arg(m_board); }
    QString relayPath(int relay) const
    {
        return QStringLiteral("%1/relays/%2").arg(boardPath()).arg(relay);
    }

    // --json names the port and device as the direct route does; the service's word for the
    // board when it was named with --board.
    void labels()
    {
        if (!m_device.isEmpty() || !m_portName.isEmpty())
            return;
        const QString where = m_view.value(QLatin1String("device")).toString();
        static const QRegularExpression com(QStringLiteral("^COM([0-9]{1,2})$"));
        const QRegularExpressionMatch match = com.match(where);
        // The device itself, as the direct route names the one it opened.
        const QString path =
            match.hasMatch() ? ComPortPath::devicePath(match.captured(1).toInt()) : where;
        const QString device = QFileInfo(path).canonicalFilePath();
        m_device = device.isEmpty() ? path : device;
        if (match.hasMatch())
            m_portName = where;
    }

    QStringList names() const
    {
        QStringList all;
        for (const QJsonValue &name : m_view.value(QLatin1String("names")).toArray())
            all.append(name.toString());
        return all;
    }

    // Relay names into numbers: exactly one relay of the board's must bear each.
    bool resolve(QList<int> *relays)
    {
        const QStringList all = names();
        for (const QString &word : m_request.relayNames) {
            QList<int> found;
            for (qsizetype i = 0; i < all.size(); ++i) {
                if (all.at(i).compare(word, Qt::CaseInsensitive) == 0)
                    found.append(int(i + 1));
            }
            if (found.size() == 1) {
                if (!relays->contains(found.first()))
                    relays->append(found.first());
                continue;
            }
            QStringList candidates;
            for (qsizetype i = 0; i < all.size(); ++i) {
                if (found.isEmpty() || found.contains(int(i + 1)))
                    candidates.append(QStringLiteral("%1 %2").arg(i + 1).arg(all.at(i)));
            }
            Output::printError(
                found.isEmpty()
                    ? QStringLiteral("board %1 has no relay named \"%2\"; its relays are: %3")
                          .arg(m_board, word, candidates.join(QStringLiteral(", ")))
                    : QStringLiteral("\"%1\" names more than one relay of board %2: %3; give "
                                     "the number")
                          .arg(word, m_board, candidates.join(QStringLiteral(", "))));
            m_status = kExitUsage;
            return false;
        }
        return true;
    }

    // A JSON line of the direct route's, with the service's board and its relays' names.
    QByteArray withBoard(QByteArray json) const
    {
        json.chop(2); // "}\n"
        return json + ",\"board\":" +
               QJsonDocument(QJsonArray{m_board}).toJson(QJsonDocument::Compact).mid(1).chopped(1) +
               ",\"names\":" +
               QJsonDocument(QJsonArray::fromStringList(names())).toJson(QJsonDocument::Compact) +
               "}\n";
    }

    int printState(const RelayState &state, bool switched)
    {
        if (m_request.json)
            return Output::printed(withBoard(Output::statusJson(m_portName, m_device, state)));
        if (switched)
            return kExitDone;
        QByteArray text = Output::statusText(state);
        const QStringList all = names();
        for (qsizetype i = 0; i < all.size() && i < 16; ++i) {
            if (all.at(i) != QStringLiteral("Relay %1").arg(i + 1))
                text += QStringLiteral("%1:%2 %3\n")
                            .arg(i + 1)
                            .arg(onOff(state[size_t(i)]), all.at(i))
                            .toUtf8();
        }
        return Output::printed(text);
    }

    // Each of `relays` must be `on` in the state read back.
    bool verified(const RelayState &state, const QList<int> &relays, bool on)
    {
        for (int relay : relays) {
            if (state[size_t(relay - 1)] != on) {
                Output::printError(QStringLiteral("usb16relayd: board %1 reports relay %2 %3, "
                                                  "not %4")
                                       .arg(m_board)
                                       .arg(relay)
                                       .arg(onOff(!on), onOff(on)));
                m_status = kExitWrongState;
                return false;
            }
        }
        return true;
    }

    int status();
    int switchRelays(const QList<int> &relays);
    int pulse(int relay);
    int watch();

    int m_status = kExitDone;

private:
    const CommandLine &m_request;
    ServiceClient &m_client;
    QString m_board;
    QJsonObject m_view;
};

// Not the state the service last read: the board is asked, in turn with the switching requests.
int Route::status()
{
    const auto view = call("POST", boardPath() + QStringLiteral("/read"));
    std::optional<RelayState> state;
    if (!view || !(state = stateOf(*view, false)))
        return m_status;
    return printState(*state, false);
}

int Route::switchRelays(const QList<int> &relays)
{
    std::optional<RelayState> state;
    // Every relay named in one request: the service checks them against the interlocks as a
    // whole and switches them together; each must be as asked in the state read back.
    QByteArray named;
    for (const int relay : relays)
        named += (named.isEmpty() ? "" : ",") + QByteArray::number(relay);
    switch (m_request.command) {
    case Command::On:
    case Command::Off: {
        const bool on = m_request.command == Command::On;
        const auto view =
            call("PUT", boardPath() + QStringLiteral("/relays"),
                 "{\"relays\":[" + named + "],\"on\":" + (on ? "true" : "false") + "}");
        if (!view || !(state = stateOf(*view, false)) || !verified(*state, relays, on))
            return m_status;
        break;
    }
    case Command::Toggle: {
        const auto view = call("POST", boardPath() + QStringLiteral("/relays/toggle"),
                               "{\"relays\":[" + named + "]}");
        if (!view || !(state = stateOf(*view, false)))
            return m_status;
        break;
    }
    default: {
        const quint16 mask = m_request.command == Command::AllOn    ? 0xFFFF
                             : m_request.command == Command::AllOff ? 0x0000
                                                                    : m_request.mask;
        const QByteArray hex = RelayMask(mask).toHex().toLatin1();
        const auto view = call("PUT", boardPath(), "{\"mask\":\"" + hex + "\"}");
        if (!view || !(state = stateOf(*view, false)))
            return m_status;
        if (RelayProtocol::toMask(*state) != mask) {
            Output::printError(QStringLiteral("usb16relayd: board %1 reports %2, not %3")
                                   .arg(m_board, RelayMask(RelayProtocol::toMask(*state)).toHex(),
                                        QString::fromLatin1(hex)));
            return kExitWrongState;
        }
        break;
    }
    }
    return printState(*state, true);
}

int Route::pulse(int relay)
{
    Interruption::endAtOnce(
        QStringLiteral("before relay %1 was switched; nothing was switched").arg(relay));
    // From the moment the request may be on its way, a signal switches the relay back. The
    // service ends the pulse by itself too, should this program be killed.
    Interruption::holdSignals();
    const auto started =
        call("POST", relayPath(relay) + QStringLiteral("/pulse"),
             "{\"ms\":" + QByteArray::number(qint64(m_request.pulseLength.count())) + "}");
    std::optional<RelayState> state;
    if (!started || !(state = stateOf(*started, false)))
        return m_status;
    const bool original = !(*state)[size_t(relay - 1)];
    int signal = Interruption::holdFor(m_request.pulseLength);
    // Whether the service has ended the pulse yet or not, this ends it now and reads it back.
    const auto back =
        call("PUT", relayPath(relay), original ? QByteArray("{\"on\":true}") : "{\"on\":false}");
    if (!back || !(state = stateOf(*back, false)) || !verified(*state, {relay}, original))
        return m_status;
    if (signal == 0)
        signal = Interruption::pending();
    if (signal != 0) {
        Output::printError(QStringLiteral("stopped by %1; relay %2 is back %3")
                               .arg(QString::fromLatin1(Interruption::signalName(signal)))
                               .arg(relay)
                               .arg(onOff(original)));
        return kExitSignalBase + signal;
    }
    return printState(*state, true);
}

int Route::watch()
{
    return watchLoop(
        m_request.interval,
        [this]() -> std::variant<RelayState, int> {
            const auto view = call("GET", boardPath());
            std::optional<RelayState> state;
            if (!view || !(state = stateOf(*view, true)))
                return m_status;
            return *state;
        },
        [this](const QString &time, const RelayState &state) {
            return m_request.json ? withBoard(Output::watchJson(time, m_portName, m_device, state))
                                  : Output::watchText(time, state);
        });
}

// As a shell reads it back: quoted when it holds anything but the usual path characters.
QString shellWord(QString text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./@%+=:,-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

} // namespace

namespace ServiceRoute {

int run(const CommandLine &request, ServiceClient &client, const QString &board, QString portName,
        QString device)
{
    Route route(request, client, board);
    route.m_portName = std::move(portName);
    route.m_device = std::move(device);
    if (request.command == Command::Send) {
        Output::printError(QStringLiteral("send writes to the port itself, and usb16relayd serves "
                                          "board %1: use the switching commands, or stop the "
                                          "service to talk to the board directly")
                               .arg(board));
        return kExitCannotOpen;
    }
    Interruption::endAtOnce(QStringLiteral("before usb16relayd answered; no state was read"));
    const auto view = route.call("GET", route.boardPath());
    if (!view)
        return route.m_status;
    route.labels();
    QList<int> relays = request.relays;
    if (!route.resolve(&relays))
        return route.m_status;
    switch (request.command) {
    case Command::Status:
        return route.status();
    case Command::Pulse:
        return route.pulse(relays.constFirst());
    case Command::Watch:
        return route.watch();
    default:
        Interruption::endAtOnce(QStringLiteral("before usb16relayd confirmed the switch; the "
                                               "relays may have switched: read them with "
                                               "usb16relay-ctl status"));
        return route.switchRelays(relays);
    }
}

QByteArray boardsText(ServiceClient &client)
{
    // The socket these boards were found on, when it is not the one found by default.
    const QString socketOption =
        client.socket() == QLatin1String(ServiceClient::kDefaultSocket)
            ? QString()
            : QStringLiteral("--socket %1 ").arg(shellWord(client.socket()));
    QByteArray text;
    for (const QJsonValue &value : ServiceBoards::list(client)) {
        const QJsonObject board = value.toObject();
        text += QStringLiteral("board %1 \"%2\" on %3 (usb16relayd, %4): usb16relay-ctl %5--board "
                               "%1\n")
                    .arg(board.value(QLatin1String("id")).toString(),
                         board.value(QLatin1String("name")).toString(),
                         board.value(QLatin1String("device")).toString(),
                         board.value(QLatin1String("online")).toBool() ? QStringLiteral("online")
                                                                       : QStringLiteral("offline"),
                         socketOption)
                    .toUtf8();
    }
    return text;
}

QByteArray boardsJson(ServiceClient &client)
{
    QByteArray json;
    for (const QJsonValue &value : ServiceBoards::list(client)) {
        const QJsonObject board = value.toObject();
        const QJsonObject entry{{QStringLiteral("board"), board.value(QLatin1String("id"))},
                                {QStringLiteral("name"), board.value(QLatin1String("name"))},
                                {QStringLiteral("device"), board.value(QLatin1String("device"))},
                                {QStringLiteral("online"), board.value(QLatin1String("online"))},
                                {QStringLiteral("names"), board.value(QLatin1String("names"))}};
        json += (json.isEmpty() ? "" : ",") + QJsonDocument(entry).toJson(QJsonDocument::Compact);
    }
    return json;
}

} // namespace ServiceRoute
