#include "replytext.h"

namespace ReplyText {

QString display(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && byte != '<')
            text += QLatin1Char(char(byte));
        else
            text += QStringLiteral("<%1>").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

int firstUnsendable(const QString &text)
{
    for (int i = 0; i < text.size(); ++i)
        if (text.at(i).unicode() > 0xFF)
            return i;
    return -1;
}

} // namespace ReplyText
