#include "httprequest.h"

#include <algorithm>

namespace {

bool isToken(const QByteArray &text)
{
    static const QByteArray extra = "!#$%&'*+-.^_`|~";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               extra.contains(c);
    });
}

bool hasControl(const QByteArray &text, bool tabAllowed)
{
    return std::any_of(text.begin(), text.end(), [tabAllowed](char c) {
        const auto byte = quint8(c);
        return (byte < 0x20 && !(tabAllowed && c == '\t')) || byte == 0x7F;
    });
}

// The head's length without the blank line that ends it, as the connection finds it.
qsizetype withoutBlankLine(const QByteArray &head)
{
    if (head.endsWith("\r\n\r\n"))
        return head.size() - 4;
    if (head.endsWith("\n\n"))
        return head.size() - 2;
    return head.size();
}

} // namespace

QByteArray HttpRequest::header(const char *lowerName) const
{
    for (const auto &[name, value] : headers) {
        if (name == lowerName)
            return value;
    }
    return {};
}

bool HttpRequest::hasHeader(const char *lowerName) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &pair) { return pair.first == lowerName; });
}

std::variant<HttpHead, HttpRefusal> parseRequestHead(const QByteArray &head,
                                                     const HttpHeadLimits &limits)
{
    if (withoutBlankLine(head) > limits.maxHead)
        return HttpRefusal{431, QStringLiteral("the request's line and headers take more than %1 "
                                               "bytes; at most %1 are read")
                                    .arg(limits.maxHead)};
    const QByteArray text = head.trimmed();
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    HttpHead parsed;
    HttpRequest &request = parsed.request;
    const QList<QByteArray> parts = lines.takeFirst().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[2].startsWith("HTTP/"))
        return HttpRefusal{400, QStringLiteral("the request line must be METHOD PATH HTTP/1.1")};
    if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")
        return HttpRefusal{505, QStringLiteral("this service speaks HTTP/1.1 only")};
    request.method = parts[0];
    request.version = parts[2];
    const QByteArray target = parts[1];
    if (!target.startsWith('/') || hasControl(target, false) ||
        std::any_of(target.begin(), target.end(), [](char ch) { return quint8(ch) >= 0x80; }))
        return HttpRefusal{400, QStringLiteral("the path must start with / and hold no control "
                                               "characters, spaces or bytes beyond ASCII")};
    const QByteArray path = QByteArray::fromPercentEncoding(target.split('?').first());
    request.path = QString::fromUtf8(path);
    // Checked as UTF-8 too: there %C2%85 is a line break (NEL).
    if (hasControl(path, false) ||
        std::any_of(request.path.begin(), request.path.end(),
                    [](QChar ch) { return ch.category() == QChar::Other_Control; }))
        return HttpRefusal{400, QStringLiteral("the path holds a control character once decoded")};
    QByteArray length;
    for (const QByteArray &line : std::as_const(lines)) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).toLower();
        if (colon <= 0 || !isToken(name))
            return HttpRefusal{400, QStringLiteral("a header line is not NAME: VALUE (no space "
                                                   "before the colon, no folded lines)")};
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (hasControl(value, true))
            return HttpRefusal{400, QStringLiteral("the header %1 holds a control character")
                                        .arg(QString::fromLatin1(name))};
        if (name == "host" && request.hasHeader("host"))
            return HttpRefusal{400, QStringLiteral("the request names its Host twice")};
        if (name == "content-length") {
            const bool digits = !value.isEmpty() && value.size() <= 18 &&
                                std::all_of(value.begin(), value.end(),
                                            [](char ch) { return ch >= '0' && ch <= '9'; });
            if (!digits)
                return HttpRefusal{400, QStringLiteral("Content-Length must be a number of "
                                                       "bytes, not \"%1\"")
                                            .arg(QString::fromLatin1(value.left(40)))};
            if (!length.isEmpty() && value.toLongLong() != length.toLongLong())
                return HttpRefusal{400, QStringLiteral("the request gives two different "
                                                       "Content-Length values")};
            length = value;
        }
        request.headers.append({name, value});
    }
    if (request.version == "HTTP/1.1" && !request.hasHeader("host"))
        return HttpRefusal{400, QStringLiteral("an HTTP/1.1 request must name its Host")};
    if (request.hasHeader("transfer-encoding"))
        return HttpRefusal{411, QStringLiteral("send the body with a Content-Length (at most %1 "
                                               "bytes), not in chunks")
                                    .arg(limits.maxBody)};
    parsed.bodyLength = length.toLongLong();
    if (parsed.bodyLength > limits.maxBody)
        return HttpRefusal{413, QStringLiteral("the body has %1 bytes; requests take at most %2, "
                                               "such as {\"on\":true}")
                                    .arg(parsed.bodyLength)
                                    .arg(limits.maxBody)};
    parsed.closeAfter =
        request.version == "HTTP/1.0" || request.header("connection").toLower().contains("close");
    return parsed;
}
