#pragma once

#include "boardrequest.h"
#include "boardsnapshot.h"
#include "config.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// The HTTP front's routes and its words: requests taken apart and answers put together, without
// a socket, so that all of it can be checked on its own.
namespace HttpApi {

enum class Endpoint {
    Page,
    Script,
    Style,
    Icon,
    Boards,
    Board,
    SetMask,
    SetRelay,
    ToggleRelay,
    PulseRelay,
    SetRelays,
    ToggleRelays,
    ReadBoard,
    Events,
};

struct Route
{
    const char *method;
    const char *pattern; // "{id}" stands for a board id, "{n}" for a relay number
    Endpoint endpoint;
    bool needsToken; // false only for the page itself, which holds no state
};

// Every route the front serves, in one place.
const QList<Route> &routes();

// A board as clients see it: what it last reported and when.
struct BoardView
{
    QString id;
    QString name;
    QString where; // "COM3" or the device path, as the config file gives it
    std::array<QString, 16> names;
    bool online = false;
    QString offlineReason;
    std::optional<quint16> state;
    QDateTime readAt;
    // Grows with every read and change of availability, across restarts too: a client keeps a
    // state only over an older one.
    quint64 seq = 0;
    std::array<QDateTime, 16> changedAt; // when the service saw each relay change
    std::array<QString, 16> changedBy;   // and who switched it (BoardSnapshot's words)
    QList<QList<int>> interlocks;        // groups of relays never on together
    quint16 overdue = 0;                 // relays whose pulse ended and are not confirmed back yet
};

// A board's configuration with what one snapshot of it found.
BoardView viewOf(const BoardConfig &config, const BoardSnapshot &snapshot);

struct Reply
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QByteArray allow; // for 405
};

// A request taken apart: the endpoint with its board and what to ask of it, or the reply that
// ends it (404, 405, 400) before anything reaches a board.
struct Parsed
{
    std::optional<Reply> reply;
    Endpoint endpoint = Endpoint::Page;
    QString board;
    std::optional<BoardRequest> request;
};

Parsed parse(const QByteArray &method, const QString &path, const QByteArray &body,
             const QStringList &boards);
// Whether a path needs the token; unknown paths do, so that no answer tells them apart.
bool needsToken(const QString &path);

Reply error(int status, const QString &message);
int statusOf(BoardResult::Error error);
QJsonObject boardJson(const BoardView &board);
QByteArray boardsJson(const QList<BoardView> &boards);
// One Server-Sent Event: "event: NAME\ndata: JSON\n\n".
QByteArray event(const QByteArray &name, const QJsonObject &data);

} // namespace HttpApi
