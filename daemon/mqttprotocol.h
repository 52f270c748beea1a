#pragma once

#include "boardrequest.h"
#include "config.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The MQTT front's translation table: every topic the service uses, and the payloads it builds
// and parses. Pure functions, no broker.
namespace MqttProtocol {

constexpr qsizetype kMaxPayload = 256;

// Out, retained: "online"/"offline"; "offline" is the Last Will.
QString statusTopic(const QString &base);
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
QString relayPulseTopic(const QString &base, const QString &board, int relay);
QString maskSetTopic(const QString &base, const QString &board);
// The filters that bring a board's commands (relay numbers outside 1..16 included, to answer
// them with an error).
QStringList commandFilters(const QString &base, const QString &board);
// In: Home Assistant says "online" when it (re)starts.
QString homeAssistantStatusTopic(const QString &discoveryPrefix);

QString nodeId(const QString &base, const QString &board); // "usb16relay_com1"
QString discoveryTopic(const BrokerConfig &broker, const BoardConfig &board, int relay);
QByteArray discoveryPayload(const BrokerConfig &broker, const BoardConfig &board, int relay,
                            const QString &version);

QByteArray relayPayload(bool on);
QByteArray statePayload(quint16 state);
QByteArray errorPayload(const QString &command, const QString &error, const QString &kind);
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
