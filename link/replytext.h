#pragma once

#include <QByteArray>
#include <QString>

// Where the operator's text meets the line's bytes.
namespace ReplyText {

// Every byte readable and told apart: printable ASCII as itself, '<' and every other byte as
// <HH>. So the status reply 0x81 0x40 reads "<81>@".
QString display(const QByteArray &bytes);

// Index of the first character that has no single byte on the line (beyond U+00FF), or -1.
int firstUnsendable(const QString &text);

} // namespace ReplyText
