#include "httpapi.h"

#include "relaymask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace HttpApi {

namespace {

// Matches a path against a pattern; fills the board id and relay text it names.
bool matches(const char *pattern, const QString &path, QString *board, QString *relay)
{
    const QStringList want = QString::fromLatin1(pattern).split(u'/');
    const QStringList have = path.split(u'/');
    if (want.size() != have.size())
        return false;
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] == u"{id}")
            *board = have[i];
        else if (want[i] == u"{n}")
            *relay = have[i];
        else if (want[i] != have[i])
            return false;
    }
    return true;
}

Reply badRequest(const QString &message)
{
    return error(400, message);
}

// The first key that the object in `json` (valid JSON) names twice at its top level, if any:
// the parser keeps the last, and a body must mean one thing.
std::optional<QString> repeatedKey(const QByteArray &json)
{
    QStringList seen;
    int depth = 0;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const qsizetype start = i;
            for (++i; i < json.size() && json.at(i) != '"'; ++i) {
                if (json.at(i) == '\\')
                    ++i;
            }
            qsizetype after = i + 1;
            while (after < json.size() && QByteArrayView(" \t\r\n").contains(json.at(after)))
                ++after;
            if (depth != 1 || after >= json.size() || json.at(after) != ':')
                continue;
            // Decoded, so that "\u006d" and "m" are the same key.
            const QString key = QJsonDocument::fromJson("[" + json.mid(start, i + 1 - start) + "]")
                                    .array()
                                    .at(0)
                                    .toString();
            if (seen.contains(key))
                return key;
            seen.append(key);
        }
    }
    return std::nullopt;
}

// The body as a JSON object with exactly the keys given, or the words saying what is wrong.
std::optional<QJsonObject> object(const QByteArray &body, const QStringList &keys,
                                  const QString &example, QString *why)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error == QJsonParseError::NoError) {
        if (const auto key = repeatedKey(body)) {
            *why = QStringLiteral("the field \"%1\" is given twice; send %2").arg(*key, example);
            return std::nullopt;
        }
    }
    if (parseError.error != QJsonParseError::NoError) {
        *why = QStringLiteral("the body is not JSON (%1 at byte %2); send %3")
                   .arg(parseError.errorString())
                   .arg(parseError.offset)
                   .arg(example);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *why = QStringLiteral("the body must be a JSON object, such as %1").arg(example);
        return std::nullopt;
    }
    const QJsonObject result = document.object();
    for (const QString &key : result.keys()) {
        if (!keys.contains(key)) {
            *why = QStringLiteral("unknown field \"%1\"; send %2").arg(key, example);
            return std::nullopt;
        }
    }
    for (const QString &key : keys) {
        if (!result.contains(key)) {
            *why = QStringLiteral("the field \"%1\" is missing; send %2").arg(key, example);
            return std::nullopt;
        }
    }
    return result;
}

// "relays": [1, 5], relay numbers from 1 to 16, at least one.
std::optional<quint16> relaysOf(const QJsonObject &json, QString *why)
{
    const QJsonValue value = json.value(QLatin1String("relays"));
    QList<int> relays;
    for (const QJsonValue &each : value.toArray()) {
        const double number = each.toDouble(-1);
        // Bounds first: only then is the conversion to a whole number defined.
        if (!each.isDouble() || !(number >= 1 && number <= RelayMask::kRelayCount) ||
            number != std::floor(number)) {
            relays.clear();
            break;
        }
        relays.append(int(number));
    }
    if (relays.isEmpty()) {
        *why = QStringLiteral("\"relays\" must be a list of relay numbers from 1 to 16, such as "
                              "[1, 5]");
        return std::nullopt;
    }
    return RelayMask::fromRelays(relays)->bits();
}

std::optional<BoardRequest> bodyRequest(Endpoint endpoint, int relay, const QByteArray &body,
                                        QString *why)
{
    switch (endpoint) {
    case Endpoint::SetRelays: {
        const auto json = object(body, {QStringLiteral("relays"), QStringLiteral("on")},
                                 QStringLiteral("{\"relays\":[1,5],\"on\":true}"), why);
        if (!json)
            return std::nullopt;
        if (!json->value(QLatin1String("on")).isBool()) {
            *why = QStringLiteral("\"on\" must be true or false (not a string or a number)");
            return std::nullopt;
        }
        const std::optional<quint16> relays = relaysOf(*json, why);
        if (!relays)
            return std::nullopt;
        return BoardRequest::switchRelays(*relays, json->value(QLatin1String("on")).toBool());
    }
    case Endpoint::ToggleRelays: {
        const auto json =
            object(body, {QStringLiteral("relays")}, QStringLiteral("{\"relays\":[1,5]}"), why);
        if (!json)
            return std::nullopt;
        const std::optional<quint16> relays = relaysOf(*json, why);
        if (!relays)
            return std::nullopt;
        return BoardRequest::toggleRelays(*relays);
    }
    case Endpoint::SetRelay: {
        const auto json =
            object(body, {QStringLiteral("on")}, QStringLiteral("{\"on\":true}"), why);
        if (!json)
            return std::nullopt;
        if (!json->value(QLatin1String("on")).isBool()) {
            *why = QStringLiteral("\"on\" must be true or false (not a string or a number)");
            return std::nullopt;
        }
        return BoardRequest::switchRelay(relay, json->value(QLatin1String("on")).toBool());
    }
    case Endpoint::ToggleRelay:
        if (!body.trimmed().isEmpty() && !object(body, {}, QStringLiteral("no body, or {}"), why))
            return std::nullopt;
        return BoardRequest::toggle(relay);
    case Endpoint::PulseRelay: {
        const auto json = object(body, {QStringLiteral("ms")}, QStringLiteral("{\"ms\":500}"), why);
        if (!json)
            return std::nullopt;
        const QJsonValue ms = json->value(QLatin1String("ms"));
        const double value = ms.toDouble(-1);
        // Bounds first: only then is the conversion to a whole number defined.
        if (!ms.isDouble() || !(value >= 1 && value <= double(BoardRequest::kMaxPulse.count())) ||
            value != std::floor(value)) {
            *why = QStringLiteral("\"ms\" must be a whole number of milliseconds from 1 to %1")
                       .arg(BoardRequest::kMaxPulse.count());
            return std::nullopt;
        }
        return BoardRequest::pulse(relay, std::chrono::milliseconds(qint64(value)));
    }
    case Endpoint::SetMask: {
        const auto json =
            object(body, {QStringLiteral("mask")}, QStringLiteral("{\"mask\":\"8140\"}"), why);
        if (!json)
            return std::nullopt;
        const QJsonValue value = json->value(QLatin1String("mask"));
        const std::optional<RelayMask> mask =
            value.isString() ? RelayMask::fromHex(value.toString()) : std::nullopt;
        if (!mask) {
            *why = QStringLiteral("\"mask\" must be four hex digits in a string, bit 15 = relay "
                                  "1, such as \"8140\"");
            return std::nullopt;
        }
        return BoardRequest::setMask(mask->bits());
    }
    default:
        return std::nullopt;
    }
}

} // namespace

const QList<Route> &routes()
{
    static const QList<Route> table = {
        {"GET", "/", Endpoint::Page, false},
        {"GET", "/app.js", Endpoint::Script, false},
        {"GET", "/style.css", Endpoint::Style, false},
        {"GET", "/favicon.svg", Endpoint::Icon, false},
        {"GET", "/favicon.ico", Endpoint::Icon, false},
        {"GET", "/api/v1/boards", Endpoint::Boards, true},
        {"GET", "/api/v1/boards/{id}", Endpoint::Board, true},
        {"PUT", "/api/v1/boards/{id}", Endpoint::SetMask, true},
        {"PUT", "/api/v1/boards/{id}/relays/{n}", Endpoint::SetRelay, true},
        {"POST", "/api/v1/boards/{id}/relays/{n}/toggle", Endpoint::ToggleRelay, true},
        {"POST", "/api/v1/boards/{id}/relays/{n}/pulse", Endpoint::PulseRelay, true},
        // Several relays, checked against the interlocks and switched as one.
        {"PUT", "/api/v1/boards/{id}/relays", Endpoint::SetRelays, true},
        {"POST", "/api/v1/boards/{id}/relays/toggle", Endpoint::ToggleRelays, true},
        {"POST", "/api/v1/boards/{id}/read", Endpoint::ReadBoard, true},
        {"GET", "/api/v1/events", Endpoint::Events, true},
    };
    return table;
}

bool needsToken(const QString &path)
{
    if (path == u"*") // OPTIONS *: the methods, no state
        return false;
    QString board;
    QString relay;
    for (const Route &route : routes()) {
        if (!route.needsToken && matches(route.pattern, path, &board, &relay))
            return false;
    }
    return true;
}

Parsed parse(const QByteArray &method, const QString &path, const QByteArray &body,
             const QStringList &boards)
{
    Parsed parsed;
    QString board;
    QString relayText;
    QByteArrayList allowed;
    const Route *found = nullptr;
    for (const Route &route : routes()) {
        if (!matches(route.pattern, path, &board, &relayText))
            continue;
        allowed.append(route.method);
        if (QByteArrayView(route.method) == "GET")
            allowed.append("HEAD");
        if (method == route.method && !found)
            found = &route;
    }
    if (allowed.isEmpty()) {
        parsed.reply = error(404, QStringLiteral("no such path: %1; the API is under "
                                                 "/api/v1/boards")
                                      .arg(path));
        return parsed;
    }
    if (!found) {
        parsed.reply = error(405, QStringLiteral("%1 is not allowed on %2; use %3")
                                      .arg(QString::fromLatin1(method), path,
                                           QString::fromLatin1(allowed.join(" or "))));
        parsed.reply->allow = allowed.join(", ");
        return parsed;
    }
    parsed.endpoint = found->endpoint;
    if (QString::fromLatin1(found->pattern).contains(QLatin1String("{id}"))) {
        if (!boards.contains(board)) {
            parsed.reply = error(404, QStringLiteral("no board \"%1\" here; the boards are: %2")
                                          .arg(board, boards.join(QStringLiteral(", "))));
            return parsed;
        }
        parsed.board = board;
    }
    int relay = 0;
    if (QString::fromLatin1(found->pattern).contains(QLatin1String("{n}"))) {
        const std::optional<int> number = parseRelayNumber(relayText);
        if (!number) {
            parsed.reply = error(404, QStringLiteral("board %1 has no relay \"%2\"; relays are "
                                                     "numbered 1 to %3")
                                          .arg(board, relayText)
                                          .arg(RelayMask::kRelayCount));
            return parsed;
        }
        relay = *number;
    }
    switch (parsed.endpoint) {
    case Endpoint::ReadBoard:
        if (!body.trimmed().isEmpty()) {
            QString why;
            if (!object(body, {}, QStringLiteral("no body, or {}"), &why)) {
                parsed.reply = badRequest(why);
                break;
            }
        }
        parsed.request = BoardRequest::read();
        break;
    case Endpoint::SetMask:
    case Endpoint::SetRelays:
    case Endpoint::ToggleRelays:
    case Endpoint::SetRelay:
    case Endpoint::ToggleRelay:
    case Endpoint::PulseRelay: {
        QString why;
        parsed.request = bodyRequest(parsed.endpoint, relay, body, &why);
        if (!parsed.request)
            parsed.reply = badRequest(QStringLiteral("%1; nothing was switched").arg(why));
        break;
    }
    default:
        break;
    }
    return parsed;
}

Reply error(int status, const QString &message)
{
    Reply reply;
    reply.status = status;
    reply.body = QJsonDocument(QJsonObject{{QStringLiteral("error"), message}})
                     .toJson(QJsonDocument::Compact);
    return reply;
}

int statusOf(BoardResult::Error error)
{
    switch (error) {
    case BoardResult::Error::None:
        return 200;
    case BoardResult::Error::BadRequest:
        return 400;
    case BoardResult::Error::UnknownBoard:
        return 404;
    case BoardResult::Error::Refused:
        return 409;
    case BoardResult::Error::OtherState:
    case BoardResult::Error::Unasked:
        return 502;
    case BoardResult::Error::QueueFull:
    case BoardResult::Error::Offline:
    case BoardResult::Error::Stopping:
        return 503;
    }
    return 500;
}

BoardView viewOf(const BoardConfig &config, const BoardSnapshot &snapshot)
{
    BoardView view;
    view.id = config.id;
    view.name = config.name;
    view.where = config.where();
    view.names = config.relayNames;
    view.interlocks = config.interlocks;
    view.online = snapshot.online;
    view.offlineReason = snapshot.offlineReason;
    view.state = snapshot.state;
    view.readAt = snapshot.readAt;
    view.seq = snapshot.seq;
    view.changedAt = snapshot.changedAt;
    view.changedBy = snapshot.changedBy;
    view.overdue = snapshot.overdue;
    return view;
}

QJsonObject boardJson(const BoardView &board)
{
    QJsonObject json{{QStringLiteral("id"), board.id},
                     {QStringLiteral("name"), board.name},
                     {QStringLiteral("device"), board.where},
                     {QStringLiteral("online"), board.online}};
    QJsonArray names;
    for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay) {
        const QString &name = board.names.at(relay - 1);
        names.append(name.isEmpty() ? BoardConfig::defaultRelayName(relay) : name);
    }
    if (board.state) {
        const RelayMask state(*board.state);
        json.insert(QStringLiteral("relays"), state.toJson());
        json.insert(QStringLiteral("mask"), state.toHex());
    } else {
        // Never read: nothing is claimed about the relays.
        json.insert(QStringLiteral("relays"), QJsonValue::Null);
        json.insert(QStringLiteral("mask"), QJsonValue::Null);
    }
    json.insert(QStringLiteral("names"), names);
    json.insert(QStringLiteral("read_at"),
                board.readAt.isValid()
                    ? QJsonValue(board.readAt.toUTC().toString(Qt::ISODateWithMs))
                    : QJsonValue(QJsonValue::Null));
    if (!board.online && !board.offlineReason.isEmpty())
        json.insert(QStringLiteral("offline_reason"), board.offlineReason);
    json.insert(QStringLiteral("seq"), qint64(board.seq));
    QJsonArray changed;
    for (const QDateTime &at : board.changedAt)
        changed.append(at.isValid() ? QJsonValue(at.toUTC().toString(Qt::ISODateWithMs))
                                    : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("changed_at"), changed);
    QJsonArray by;
    for (const QString &who : board.changedBy)
        by.append(who.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(who));
    json.insert(QStringLiteral("changed_by"), by);
    QJsonArray interlocks;
    for (const QList<int> &group : board.interlocks) {
        QJsonArray relays;
        for (int relay : group)
            relays.append(relay);
        interlocks.append(relays);
    }
    json.insert(QStringLiteral("interlocks"), interlocks);
    // Pulses whose end is owed: the board has not confirmed them switched back yet.
    QJsonArray overdue;
    for (const int relay : RelayMask(board.overdue).relays())
        overdue.append(relay);
    json.insert(QStringLiteral("overdue_pulse_ends"), overdue);
    return json;
}

QByteArray boardsJson(const QList<BoardView> &boards)
{
    QJsonArray array;
    for (const BoardView &board : boards)
        array.append(boardJson(board));
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QByteArray event(const QByteArray &name, const QJsonObject &data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

} // namespace HttpApi
