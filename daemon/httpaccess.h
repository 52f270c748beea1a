#pragma once

#include <QByteArray>
#include <QString>

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

} // namespace HttpAccess
