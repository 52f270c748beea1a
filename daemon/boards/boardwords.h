#pragma once

#include <QString>

// What a board's log lines and events say, in a person's words.
namespace BoardWords {

// "relay 5", "relays 1 and 5", "relays 1, 2 and 5"; never empty.
QString relays(quint16 relays);
// Who switched, as the log says it: "by alice (usb16relay-ctl, pid 1234) over the socket", from
// a snapshot's "KIND: WHO".
QString byWhom(const QString &source);
// "greenhouse: relays 1 and 5 went off without a command; the board may have lost power".
QString unasked(const QString &board, quint16 before, quint16 after);

} // namespace BoardWords
