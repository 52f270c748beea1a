#include "httprequest.h"

#include <algorithm>
#include <cctype>
#include <optional>

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
    if (head.endsWith("\n\r\n"))
        return head.size() - 3;
    if (head.endsWith("\n\n"))
        return head.size() - 2;
    return head.size();
}

// Only space and horizontal tab surround a header's value; anything else stays, to be refused.
QByteArray trimmedValue(const QByteArray &value)
{
    qsizetype start = 0;
    qsizetype end = value.size();
    while (start < end && (value.at(start) == ' ' || value.at(start) == '\t'))
        ++start;
    while (end > start && (value.at(end - 1) == ' ' || value.at(end - 1) == '\t'))
        --end;
    return value.mid(start, end - start);
}

bool hasToken(const QByteArray &list, const char *token)
{
    for (const QByteArray &item : list.split(',')) {
        if (trimmedValue(item).compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
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

namespace {

// The request line's target into `request`'s path; an absolute-form target's authority into
// `authority`. A refusal, or nothing.
std::optional<HttpRefusal> readTarget(QByteArray target, HttpRequest *request,
                                      QByteArray *authority)
{
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const qsizetype start = target.indexOf("//") + 2;
        const qsizetype slash = target.indexOf('/', start);
        *authority = target.mid(start, slash < 0 ? -1 : slash - start);
        target = slash < 0 ? QByteArrayLiteral("/") : target.mid(slash);
        if (authority->isEmpty() || authority->contains('@') || hasControl(*authority, false) ||
            std::any_of(authority->begin(), authority->end(),
                        [](char ch) { return quint8(ch) >= 0x80; }))
            return HttpRefusal{400, QStringLiteral("the request's target names no host, names a "
                                                   "user, or holds a control character")};
    }
    if (target == "*" && request->method == "OPTIONS") {
        request->path = QStringLiteral("*");
        return std::nullopt;
    }
    if (!target.startsWith('/') || hasControl(target, false) ||
        std::any_of(target.begin(), target.end(), [](char ch) { return quint8(ch) >= 0x80; }))
        return HttpRefusal{400, QStringLiteral("the path must start with / and hold no control "
                                               "characters, spaces or bytes beyond ASCII")};
    const QByteArray path = QByteArray::fromPercentEncoding(target.split('?').first());
    request->path = QString::fromUtf8(path);
    // Checked as UTF-8 too: there %C2%85 is a line break (NEL).
    if (hasControl(path, false) ||
        std::any_of(request->path.begin(), request->path.end(),
                    [](QChar ch) { return ch.category() == QChar::Other_Control; }))
        return HttpRefusal{400, QStringLiteral("the path holds a control character once decoded")};
    return std::nullopt;
}

// The header lines into `request`, their one Content-Length into `length`.
std::optional<HttpRefusal> readHeaders(const QList<QByteArray> &lines, HttpRequest *request,
                                       QByteArray *length)
{
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).toLower();
        if (colon <= 0 || !isToken(name))
            return HttpRefusal{400, QStringLiteral("a header line is not NAME: VALUE (no space "
                                                   "before the colon, no folded lines)")};
        const QByteArray value = trimmedValue(line.mid(colon + 1));
        if (hasControl(value, true))
            return HttpRefusal{400, QStringLiteral("the header %1 holds a control character")
                                        .arg(QString::fromLatin1(name))};
        if (name == "host" && request->hasHeader("host"))
            return HttpRefusal{400, QStringLiteral("the request names its Host twice")};
        if (name == "content-length") {
            const bool digits = !value.isEmpty() && value.size() <= 18 &&
                                std::all_of(value.begin(), value.end(),
                                            [](char ch) { return ch >= '0' && ch <= '9'; });
            if (!digits)
                return HttpRefusal{400, QStringLiteral("Content-Length must be a number of "
                                                       "bytes, not \"%1\"")
                                            .arg(QString::fromLatin1(value.left(40)))};
            if (!length->isEmpty() && value.toLongLong() != length->toLongLong())
                return HttpRefusal{400, QStringLiteral("the request gives two different "
                                                       "Content-Length values")};
            *length = value;
        }
        request->headers.append({name, value});
    }
    return std::nullopt;
}

// How the body comes: chunked, or Content-Length bytes; and whether the connection ends after.
std::optional<HttpRefusal> readFraming(const QByteArray &length, const HttpHeadLimits &limits,
                                       HttpHead *parsed)
{
    const HttpRequest &request = parsed->request;
    if (request.hasHeader("transfer-encoding")) {
        QByteArrayList codings;
        for (const auto &[name, value] : request.headers) {
            if (name == "transfer-encoding")
                codings += value.split(',');
        }
        if (codings.size() != 1 || trimmedValue(codings.first()).toLower() != "chunked" ||
            request.version != "HTTP/1.1")
            return HttpRefusal{501, QStringLiteral("of transfer codings only chunked, alone, is "
                                                   "taken")};
        if (!length.isEmpty())
            return HttpRefusal{400, QStringLiteral("the request gives both a Content-Length and "
                                                   "a chunked body")};
        parsed->chunked = true;
    }
    parsed->bodyLength = length.toLongLong();
    if (parsed->bodyLength > limits.maxBody)
        return HttpRefusal{413, QStringLiteral("the body has %1 bytes; requests take at most %2, "
                                               "such as {\"on\":true}")
                                    .arg(parsed->bodyLength)
                                    .arg(limits.maxBody)};
    parsed->closeAfter = request.version == "HTTP/1.0";
    for (const auto &[name, value] : request.headers) {
        if (name == "connection" && hasToken(value, "close"))
            parsed->closeAfter = true;
    }
    return std::nullopt;
}

} // namespace

std::variant<HttpHead, HttpRefusal> parseRequestHead(const QByteArray &head,
                                                     const HttpHeadLimits &limits)
{
    if (withoutBlankLine(head) > limits.maxHead)
        return HttpRefusal{431, QStringLiteral("the request's line and headers take more than %1 "
                                               "bytes; at most %1 are read")
                                    .arg(limits.maxHead)};
    QList<QByteArray> lines = head.trimmed().split('\n');
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
    QByteArray authority; // of an absolute-form target, which stands for the Host header
    QByteArray length;
    if (auto refused = readTarget(parts[1], &request, &authority))
        return *refused;
    if (auto refused = readHeaders(lines, &request, &length))
        return *refused;
    if (request.version == "HTTP/1.1" && !request.hasHeader("host") && authority.isEmpty())
        return HttpRefusal{400, QStringLiteral("an HTTP/1.1 request must name its Host")};
    if (!authority.isEmpty()) {
        request.headers.removeIf([](const auto &pair) { return pair.first == "host"; });
        request.headers.append({QByteArrayLiteral("host"), authority});
    }
    if (auto refused = readFraming(length, limits, &parsed))
        return *refused;
    return parsed;
}

std::variant<HttpChunkedBody, HttpNeedMore, HttpRefusal> decodeChunkedBody(const QByteArray &in,
                                                                           qsizetype maxBody)
{
    using Result = std::variant<HttpChunkedBody, HttpNeedMore, HttpRefusal>;
    const HttpRefusal tooLarge{413, QStringLiteral("the body takes more than %1 bytes; requests "
                                                   "take at most %1, such as {\"on\":true}")
                                        .arg(maxBody)};
    const HttpRefusal malformed{400, QStringLiteral("the chunked body is malformed")};
    // Framing beyond this, for a body within the limit, is not a client's doing.
    const auto needMore = [&in, &tooLarge, maxFraming = 16 * maxBody + 1024]() -> Result {
        if (in.size() > maxFraming)
            return tooLarge;
        return HttpNeedMore{};
    };
    HttpChunkedBody decoded;
    qsizetype at = 0;
    for (;;) {
        const qsizetype lineEnd = in.indexOf('\n', at);
        if (lineEnd < 0)
            return in.size() - at > 1024 ? Result(malformed) : needMore();
        QByteArray line = in.mid(at, lineEnd - at);
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype extension = line.indexOf(';');
        const QByteArray size = trimmedValue(extension < 0 ? line : line.left(extension));
        // Hex digits only: no sign, no "0x".
        bool ok = !size.isEmpty() && size.size() <= 8 &&
                  std::all_of(size.begin(), size.end(),
                              [](char ch) { return std::isxdigit(quint8(ch)); });
        const qsizetype length = ok ? size.toLongLong(&ok, 16) : 0;
        if (!ok || hasControl(line, true))
            return malformed;
        if (decoded.body.size() + length > maxBody)
            return tooLarge;
        at = lineEnd + 1;
        if (length == 0)
            break;
        // The chunk and the line end after it.
        if (in.size() < at + length + 2)
            return needMore();
        decoded.body += in.mid(at, length);
        at += length;
        if (in.mid(at, 2) == "\r\n")
            at += 2;
        else if (in.at(at) == '\n')
            at += 1;
        else
            return malformed;
    }
    // Trailers, ignored, up to the blank line.
    for (;;) {
        const qsizetype lineEnd = in.indexOf('\n', at);
        if (lineEnd < 0)
            return needMore();
        const bool blank = lineEnd == at || (lineEnd == at + 1 && in.at(at) == '\r');
        at = lineEnd + 1;
        if (blank)
            break;
    }
    decoded.consumed = at;
    return decoded;
}
