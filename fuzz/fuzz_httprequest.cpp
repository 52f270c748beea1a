// parseRequestHead on any bytes, with the service's limits and with tight ones: what it accepts
// is a request the routes can take as it is, what it refuses is answered with a 4xx or 5xx. The
// same bytes as a chunked body: never more than its limit, never past what arrived.

#include "fuzzcheck.h"
#include "httprequest.h"

#include <QByteArray>
#include <QChar>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <variant>

namespace {

bool isToken(const QByteArray &text)
{
    static const QByteArray extra = "!#$%&'*+-.^_`|~";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               extra.contains(c);
    });
}

bool isDigits(const QByteArray &text)
{
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void checkAccepted(const HttpHead &head, const QByteArray &bytes, const HttpHeadLimits &limits)
{
    const HttpRequest &request = head.request;
    fuzzCheck(bytes.trimmed().size() <= limits.maxHead, "an accepted head is within its limit");
    fuzzCheck(isToken(request.method), "the method is a token");
    fuzzCheck(request.version == "HTTP/1.1" || request.version == "HTTP/1.0",
              "the version is HTTP/1.1 or HTTP/1.0");
    fuzzCheck(request.path.startsWith(QLatin1Char('/')) ||
                  (request.method == "OPTIONS" && request.path == QLatin1String("*")),
              "the path starts with /, or is * for OPTIONS");
    for (const QChar c : request.path)
        fuzzCheck(c.category() != QChar::Other_Control,
                  "the decoded path holds no control character");
    fuzzCheck(request.body.isEmpty(), "a head has no body yet");

    int hosts = 0;
    bool announced = false;
    bool closes = request.version == "HTTP/1.0";
    for (const auto &[name, value] : request.headers) {
        fuzzCheck(isToken(name) && name == name.toLower(), "header names are lower-case tokens");
        fuzzCheck(name.size() + 1 + value.size() <= limits.maxHead,
                  "no header line is longer than the head's limit");
        fuzzCheck(std::none_of(
                      value.begin(), value.end(),
                      [](char c) { return (quint8(c) < 0x20 && c != '\t') || quint8(c) == 0x7F; }),
                  "header values hold no control character but tab");
        fuzzCheck(value == value.trimmed(), "header values are trimmed");
        if (name == "transfer-encoding")
            fuzzCheck(head.chunked && value.trimmed().toLower() == "chunked",
                      "the only transfer coding taken is chunked");
        if (name == "connection")
            for (const QByteArray &token : value.split(','))
                closes = closes || token.trimmed().toLower() == "close";
        hosts += name == "host";
        if (name == "content-length") {
            announced = true;
            fuzzCheck(isDigits(value) && value.size() <= 18,
                      "Content-Length is a non-negative number");
            fuzzCheck(value.toLongLong() == head.bodyLength,
                      "every Content-Length gives the body's length");
        }
    }
    fuzzCheck(hosts <= 1, "at most one Host");
    fuzzCheck(request.version != "HTTP/1.1" || hosts == 1, "an HTTP/1.1 request names its Host");
    fuzzCheck(head.bodyLength >= 0 && head.bodyLength <= limits.maxBody,
              "the body's length is within its limit");
    fuzzCheck(announced || head.bodyLength == 0, "no Content-Length, no body");
    fuzzCheck(!(announced && head.chunked), "never both a Content-Length and chunks");
    fuzzCheck(head.closeAfter == closes,
              "the connection closes after HTTP/1.0 or a Connection: close only");
}

bool parse(const QByteArray &bytes, const HttpHeadLimits &limits)
{
    const auto parsed = parseRequestHead(bytes, limits);
    if (const auto *refusal = std::get_if<HttpRefusal>(&parsed)) {
        fuzzCheck(refusal->status >= 400 && refusal->status <= 599,
                  "a refusal's status is 4xx or 5xx");
        fuzzCheck(!refusal->message.isEmpty(), "a refusal says why");
        return false;
    }
    checkAccepted(std::get<HttpHead>(parsed), bytes, limits);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool wide = parse(bytes, HttpHeadLimits());
    const bool tight = parse(bytes, HttpHeadLimits{64, 16});
    fuzzCheck(!tight || wide, "what tight limits accept, wider ones accept too");
    for (const qsizetype limit : {qsizetype(4096), qsizetype(16)}) {
        const auto decoded = decodeChunkedBody(bytes, limit);
        if (const auto *body = std::get_if<HttpChunkedBody>(&decoded)) {
            fuzzCheck(body->body.size() <= limit, "a decoded body is within its limit");
            fuzzCheck(body->consumed > 0 && body->consumed <= bytes.size(),
                      "a decoded body took bytes that arrived");
        } else if (const auto *refusal = std::get_if<HttpRefusal>(&decoded)) {
            fuzzCheck(refusal->status == 400 || refusal->status == 413,
                      "a chunked body is refused 400 or 413");
        }
    }
    return 0;
}
