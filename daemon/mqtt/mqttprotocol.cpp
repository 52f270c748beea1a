#include "mqttprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

#include "relaymask.h"

namespace {

MqttProtocol::Command bad(const QString &board, const QString &error)
{
    return {board, std::nullopt, error + QStringLiteral("; nothing was switched")};
}

} // namespace

namespace MqttProtocol {

QString statusTopic(const BrokerConfig &broker)
{
    return QStringLiteral("%1/service/%2/status").arg(broker.baseTopic, broker.serviceId);
}

QString servicePingTopic(const BrokerConfig &broker)
{
    return QStringLiteral("%1/service/%2/ping").arg(broker.baseTopic, broker.serviceId);
}

QByteArray servicePingPayload(const ServicePing &ping)
{
    return QJsonDocument(
               QJsonObject{{QStringLiteral("instance"), ping.instance},
                           {QStringLiteral("host"), ping.host},
                           {QStringLiteral("pid"), ping.pid},
                           {QStringLiteral("since"), ping.since.toString(Qt::ISODateWithMs)},
                           {QStringLiteral("answer"), ping.answer}})
        .toJson(QJsonDocument::Compact);
}

std::optional<ServicePing> parseServicePing(const QByteArray &payload)
{
    if (payload.size() > 1024)
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(payload).object();
    ServicePing ping;
    ping.instance = object.value(u"instance").toString();
    ping.host = object.value(u"host").toString();
    ping.pid = object.value(u"pid").toInteger();
    ping.since = QDateTime::fromString(object.value(u"since").toString(), Qt::ISODateWithMs);
    ping.answer = object.value(u"answer").toBool();
    if (ping.instance.isEmpty() || !ping.since.isValid())
        return std::nullopt;
    return ping;
}

QString availabilityTopic(const QString &base, const QString &board)
{
    return QStringLiteral("%1/%2/availability").arg(base, board);
}

QString relayTopic(const QString &base, const QString &board, int relay)
{
    return QStringLiteral("%1/%2/relay/%3").arg(base, board).arg(relay);
}

QString stateTopic(const QString &base, const QString &board)
{
    return QStringLiteral("%1/%2/state").arg(base, board);
}

QString errorTopic(const QString &base, const QString &board)
{
    return QStringLiteral("%1/%2/error").arg(base, board);
}

QString relaySetTopic(const QString &base, const QString &board, int relay)
{
    return relayTopic(base, board, relay) + QStringLiteral("/set");
}

QString maskSetTopic(const QString &base, const QString &board)
{
    return QStringLiteral("%1/%2/mask/set").arg(base, board);
}

QStringList commandFilters(const QString &base, const QString &board)
{
    return {QStringLiteral("%1/%2/relay/+/set").arg(base, board),
            QStringLiteral("%1/%2/relay/+/pulse").arg(base, board), maskSetTopic(base, board)};
}

QString homeAssistantStatusTopic(const QString &discoveryPrefix)
{
    return discoveryPrefix + QStringLiteral("/status");
}

QString nodeId(const BrokerConfig &broker, const QString &board)
{
    return broker.serviceIdGiven ? QStringLiteral("usb16relay_%1_%2").arg(broker.serviceId, board)
                                 : QStringLiteral("usb16relay_%1").arg(board);
}

QString discoveryTopic(const BrokerConfig &broker, const BoardConfig &board, int relay)
{
    return QStringLiteral("%1/switch/%2/relay%3/config")
        .arg(broker.discoveryPrefix, nodeId(broker, board.id))
        .arg(relay);
}

QStringList retainedTopics(const BrokerConfig &broker, const BoardConfig &board)
{
    QStringList topics{availabilityTopic(broker.baseTopic, board.id),
                       stateTopic(broker.baseTopic, board.id)};
    for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay) {
        topics += relayTopic(broker.baseTopic, board.id, relay);
        if (broker.discovery)
            topics += discoveryTopic(broker, board, relay);
    }
    return topics;
}

QByteArray discoveryPayload(const BrokerConfig &broker, const BoardConfig &board, int relay,
                            const QString &version)
{
    const QString node = nodeId(broker, board.id);
    const QString &base = broker.baseTopic;
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), board.name},
        {QStringLiteral("manufacturer"), QStringLiteral("usb16relay")},
        {QStringLiteral("model"), QStringLiteral("16-relay serial board")},
        {QStringLiteral("sw_version"), version},
    };
    // Who published this discovery message (Home Assistant shows it in its logs).
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("usb16relayd")},
        {QStringLiteral("sw_version"), version},
    };
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), statusTopic(broker)}},
        QJsonObject{{QStringLiteral("topic"), availabilityTopic(base, board.id)}},
    };
    const QJsonObject config{
        {QStringLiteral("name"), board.relayName(relay)},
        {QStringLiteral("unique_id"), QStringLiteral("%1_relay%2").arg(node).arg(relay)},
        {QStringLiteral("device"), device},
        {QStringLiteral("origin"), origin},
        {QStringLiteral("state_topic"), relayTopic(base, board.id, relay)},
        {QStringLiteral("command_topic"), relaySetTopic(base, board.id, relay)},
        {QStringLiteral("payload_on"), QStringLiteral("ON")},
        {QStringLiteral("payload_off"), QStringLiteral("OFF")},
        {QStringLiteral("availability"), availability},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("retain"), false},
        {QStringLiteral("qos"), 1},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QByteArray relayPayload(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

QByteArray statePayload(const StateReport &report)
{
    QJsonObject object{
        {QStringLiteral("online"), report.online},
        {QStringLiteral("read_at"), report.readAt.isValid()
                                        ? QJsonValue(report.readAt.toString(Qt::ISODateWithMs))
                                        : QJsonValue()},
        {QStringLiteral("service"), report.service},
        {QStringLiteral("service_since"), report.serviceSince.toString(Qt::ISODateWithMs)},
    };
    if (report.state) {
        const RelayMask mask(*report.state);
        object.insert(QStringLiteral("relays"), mask.toJson());
        object.insert(QStringLiteral("mask"), mask.toHex());
    }
    if (!report.names.isEmpty())
        object.insert(QStringLiteral("names"), QJsonArray::fromStringList(report.names));
    if (std::any_of(report.changedBy.begin(), report.changedBy.end(),
                    [](const QString &who) { return !who.isEmpty(); })) {
        QJsonArray by;
        for (const QString &who : report.changedBy)
            by.append(who.isEmpty() ? QJsonValue(QJsonValue::Null)
                                    : QJsonValue(who.section(u':', 0, 0)));
        object.insert(QStringLiteral("changed_by"), by);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray errorPayload(const QString &command, const QString &error, const QString &kind,
                        const QDateTime &at)
{
    const QJsonObject object{
        {QStringLiteral("command"), command},
        {QStringLiteral("error"), error},
        {QStringLiteral("kind"), kind},
        {QStringLiteral("time"), at.toUTC().toString(Qt::ISODateWithMs)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString describeCommand(const QString &topic, const QByteArray &payload)
{
    constexpr qsizetype kShown = 40;
    QString shown;
    for (const char byte : payload.left(kShown)) {
        const auto c = static_cast<unsigned char>(byte);
        shown += (c >= 0x20 && c < 0x7f)
                     ? QChar(c)
                     : QChar(u'\\') + QStringLiteral("x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (payload.size() > kShown)
        shown += QStringLiteral("... (%1 bytes)").arg(payload.size());
    return QStringLiteral("%1 %2").arg(topic, shown);
}

Command parseCommand(const QString &base, const QString &topic, const QByteArray &payload)
{
    if (!topic.startsWith(base + u'/'))
        return {};
    const QStringList levels = topic.mid(base.size() + 1).split(u'/');
    if (levels.size() < 3)
        return {};
    const QString &board = levels.at(0);
    const bool relayCommand = levels.size() == 4 && levels.at(1) == u"relay" &&
                              (levels.at(3) == u"set" || levels.at(3) == u"pulse");
    const bool maskCommand =
        levels.size() == 3 && levels.at(1) == u"mask" && levels.at(2) == u"set";
    if (!relayCommand && !maskCommand)
        return {};
    if (payload.size() > kMaxPayload)
        return bad(board, QStringLiteral("the payload has %1 bytes, more than %2")
                              .arg(payload.size())
                              .arg(kMaxPayload));
    const QByteArray word = payload.trimmed();
    if (maskCommand) {
        const std::optional<RelayMask> mask = RelayMask::fromHex(QString::fromLatin1(word));
        if (!mask)
            return bad(board, QStringLiteral("a mask is four hex digits, bit 15 = relay 1 "
                                             "(8000 = relay 1 on, the others off)"));
        return {board, BoardRequest::setMask(mask->bits()), {}};
    }
    const std::optional<int> relay = parseRelayNumber(levels.at(2));
    if (!relay)
        return bad(board, QStringLiteral("there is no relay \"%1\": relays are 1 to 16")
                              .arg(levels.at(2).left(16)));
    if (levels.at(3) == u"set") {
        const QByteArray upper = word.toUpper();
        if (upper == "ON" || upper == "OFF")
            return {board, BoardRequest::switchRelay(*relay, upper == "ON"), {}};
        if (upper == "TOGGLE")
            return {board, BoardRequest::toggle(*relay), {}};
        return bad(board,
                   QStringLiteral("unknown command: relay %1 takes ON, OFF or TOGGLE").arg(*relay));
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,8}$"));
    const qint64 ms = digits.match(QString::fromLatin1(word)).hasMatch() ? word.toLongLong() : 0;
    if (ms < 1 || ms > BoardRequest::kMaxPulse.count())
        return bad(board, QStringLiteral("a pulse is a whole number of milliseconds from 1 to %1")
                              .arg(BoardRequest::kMaxPulse.count()));
    return {board, BoardRequest::pulse(*relay, std::chrono::milliseconds(ms)), {}};
}

} // namespace MqttProtocol
