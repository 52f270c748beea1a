#pragma once

#include "boardrequest.h"
#include "config.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// The MQTT front's translation table: every topic the service uses, and the payloads it builds
// and parses. Pure functions, no broker.
namespace MqttProtocol {

constexpr qsizetype kMaxPayload = 256;

// Out, retained: "online"/"offline"; "offline" is the Last Will. One per service, so that
// services sharing a broker do not answer for each other.
QString statusTopic(const BrokerConfig &broker);
// In and out, not retained: services of one id find each other here before either publishes.
QString servicePingTopic(const BrokerConfig &broker);
struct ServicePing
{
    QString instance; // this process's own, random
    QString host;
    qint64 pid = 0;
    QDateTime since; // when it started
    bool answer = false;
};
QByteArray servicePingPayload(const ServicePing &ping);
std::optional<ServicePing> parseServicePing(const QByteArray &payload);

// Out, retained: "online" while the board answers.
QString availabilityTopic(const QString &base, const QString &board);
// Out, retained: "ON"/"OFF" as read from the board.
QString relayTopic(const QString &base, const QString &board, int relay);
// Out, retained: statePayload().
QString stateTopic(const QString &base, const QString &board);
// Out, not retained: errorPayload() for every command that failed or was refused.
QString errorTopic(const QString &base, const QString &board);
// In: ON, OFF, TOGGLE; milliseconds; four hex digits.
QString relaySetTopic(const QString &base, const QString &board, int relay);
QString maskSetTopic(const QString &base, const QString &board);
// The filters that bring a board's commands (relay numbers outside 1..16 included, to answer
// them with an error).
QStringList commandFilters(const QString &base, const QString &board);
// In: Home Assistant says "online" when it (re)starts.
QString homeAssistantStatusTopic(const QString &discoveryPrefix);

// "usb16relay_com1", whatever the base topic; "usb16relay_SERVICE_com1" when the config names the
// service, so that two services' boards of one id stay apart in Home Assistant.
QString nodeId(const BrokerConfig &broker, const QString &board);
QString discoveryTopic(const BrokerConfig &broker, const BoardConfig &board, int relay);
// Every retained topic the service publishes for a board, discovery included when it is on.
QStringList retainedTopics(const BrokerConfig &broker, const BoardConfig &board);
QByteArray discoveryPayload(const BrokerConfig &broker, const BoardConfig &board, int relay,
                            const QString &version);

QByteArray relayPayload(bool on);
// The state as this run read it: "online" false and no relays until it has read the board; when
// it was read ("read_at", UTC, or null), and by which service; the relays' names as the HTTP API
// gives them, so that a client need not keep its own copy.
struct StateReport
{
    std::optional<quint16> state;
    bool online = false;
    QDateTime readAt;
    QString service;
    QDateTime serviceSince; // since when that service has been running
    QStringList names = {}; // BoardConfig::relayNameList(); left out of the payload when empty
    // Who switched each relay last, as BoardSnapshot says it; only the kind goes out ("mqtt",
    // "http", "socket", "restore", ...): a socket's user and an HTTP client's address are for
    // the service's own log and API.
    std::array<QString, 16> changedBy = {};
};
QByteArray statePayload(const StateReport &report);
QByteArray errorPayload(const QString &command, const QString &error, const QString &kind,
                        const QDateTime &at = QDateTime::currentDateTimeUtc());
// A command as it can be shown in an error event: topic and payload, printable and short.
QString describeCommand(const QString &topic, const QByteArray &payload);

struct Command
{
    QString board;                       // empty when the topic is none of ours
    std::optional<BoardRequest> request; // nothing when the command is malformed
    QString error;                       // why, when it is
};

// A message on one of commandFilters()'s topics.
Command parseCommand(const QString &base, const QString &topic, const QByteArray &payload);

} // namespace MqttProtocol
