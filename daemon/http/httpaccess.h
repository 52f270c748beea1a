#pragma once

#include "httptransport.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Who may use the HTTP front: the bearer token, read once at start from a file only its owner
// can read, and compared in constant time.
namespace HttpAccess {

// The token is the file's first line. Refused: a file that cannot be read, that the group or
// others may read or write, or whose first line is shorter than kMinTokenLength.
bool readTokenFile(const QString &path, QByteArray *token, QString *error);

// True when `authorization` is "Bearer <token>". The time taken does not depend on where the
// two differ.
bool authorizes(const QByteArray &token, const QByteArray &authorization);

// Where the service may listen: anywhere but loopback needs a token file.
bool listenAllowed(const QString &address, const QString &tokenFile, QString *error);

constexpr qsizetype kMinTokenLength = 16;

// Who asks, before anything of the request is read further.
struct Policy
{
    QByteArray token;     // none: only this machine may call, by 127.0.0.1 or localhost
    QString allowOrigin;  // the one other origin a browser may call from
    bool trusted = false; // the Unix socket: its permissions stand for the token
};

struct Refusal
{
    int status = 403;
    QString message;
};

// Host, Origin and token checked against `policy`: nothing when the request may go on, with the
// CORS headers it earns set on `response`. `needsToken` is the route's word on it.
std::optional<Refusal> admit(const Policy &policy, const HttpRequest &request, bool needsToken,
                             HttpResponse &response);
// A browser's preflight from the allowed origin, answered whole on `response`.
bool answerPreflight(const Policy &policy, const HttpRequest &request, HttpResponse &response);

} // namespace HttpAccess
