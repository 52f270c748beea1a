#include "output.h"

#include "portinfo.h"
#include "replytext.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace Output {

namespace {

QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray jsonStringOrNull(const QString &text)
{
    return text.isEmpty() ? QByteArrayLiteral("null") : jsonString(text);
}

QByteArray relaysJson(const RelayState &state)
{
    QByteArray text = "[";
    for (int i = 0; i < RelayProtocol::kRelayCount; ++i) {
        if (i > 0)
            text += ',';
        text += state[i] ? "true" : "false";
    }
    return text + ']';
}

QByteArray accessWord(const PortInfo &port)
{
    switch (port.access) {
    case PortInfo::Access::Free:
        return "free";
    case PortInfo::Access::Busy:
        return "busy";
    case PortInfo::Access::Forbidden:
        return "forbidden";
    case PortInfo::Access::Unknown:
        break;
    }
    return "unknown";
}

} // namespace

QByteArray statusText(const RelayState &state)
{
    QByteArray text;
    for (int i = 0; i < RelayProtocol::kRelayCount; ++i) {
        if (i > 0)
            text += ' ';
        text += QByteArray::number(i + 1) + (state[i] ? ":on" : ":off");
    }
    return text + '\n';
}

QByteArray statusJson(const QString &port, const QString &device, const RelayState &state)
{
    return "{\"port\":" + jsonStringOrNull(port) + ",\"device\":" + jsonString(device) +
           ",\"relays\":" + relaysJson(state) + "}\n";
}

QByteArray watchText(const QString &time, const RelayState &state)
{
    return time.toUtf8() + ' ' + statusText(state);
}

QByteArray watchJson(const QString &time, const QString &port, const QString &device,
                     const RelayState &state)
{
    return "{\"time\":" + jsonString(time) + ",\"port\":" + jsonStringOrNull(port) +
           ",\"device\":" + jsonString(device) + ",\"relays\":" + relaysJson(state) + "}\n";
}

QByteArray replyJson(const QString &port, const QString &device, const QByteArray &reply)
{
    return "{\"port\":" + jsonStringOrNull(port) + ",\"device\":" + jsonString(device) +
           ",\"reply\":" + jsonString(ReplyText::display(reply)) + ",\"hex\":\"" + reply.toHex() +
           "\"}\n";
}

QByteArray portsText(const QList<PortInfo> &ports)
{
    QByteArray text;
    for (const PortInfo &port : ports)
        text += port.summary().toUtf8() + '\n';
    return text;
}

QByteArray portsJson(const QList<PortInfo> &ports)
{
    QByteArray text = "[";
    for (const PortInfo &port : ports) {
        if (text.size() > 1)
            text += ',';
        text += "{\"port\":" + jsonString(port.name) + ",\"path\":" + jsonString(port.path) +
                ",\"device\":" + jsonString(port.device) +
                ",\"description\":" + jsonStringOrNull(port.description) +
                ",\"manufacturer\":" + jsonStringOrNull(port.manufacturer) +
                ",\"usb\":" + jsonStringOrNull(port.usbId()) +
                ",\"serialNumber\":" + jsonStringOrNull(port.serialNumber) + ",\"access\":\"" +
                accessWord(port) + "\"}";
    }
    return text + "]\n";
}

namespace {

int failure = 0;

// One write() for a whole line wherever the descriptor takes it, so that lines never interleave.
int writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return count < 0 ? errno : EIO;
        done += count;
    }
    return 0;
}

} // namespace

bool print(const QByteArray &bytes)
{
    const int error = writeAll(STDOUT_FILENO, bytes);
    if (error == 0)
        return true;
    if (error == EPIPE) {
        failure = 128 + SIGPIPE;
        return false;
    }
    failure = 1;
    printError(QStringLiteral("cannot write to standard output: %1. The result is lost; check "
                              "where the output goes (a full disk, a closed descriptor).")
                   .arg(QString::fromLocal8Bit(std::strerror(error))));
    return false;
}

int writeFailure()
{
    return failure;
}

int printed(const QByteArray &bytes)
{
    return print(bytes) ? 0 : writeFailure();
}

void printError(const QString &message)
{
    writeAll(STDERR_FILENO, "usb16relay-ctl: " + message.toUtf8() + '\n');
}

void printTrace(qint64 microseconds, bool sent, const QByteArray &bytes)
{
    const QByteArray line =
        QStringLiteral("usb16relay-ctl: +%1 ms %2 %3  %4\n")
            .arg(double(microseconds) / 1000.0, 0, 'f', 3)
            .arg(sent ? QLatin1Char('>') : QLatin1Char('<'))
            .arg(QString::fromLatin1(bytes.toHex(' ').toUpper()), ReplyText::display(bytes))
            .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void printTraceLine(qint64 microseconds, bool sent, const QByteArray &line)
{
    const QByteArray text = QStringLiteral("usb16relay-ctl: +%1 ms %2 ")
                                .arg(double(microseconds) / 1000.0, 0, 'f', 3)
                                .arg(sent ? QLatin1Char('>') : QLatin1Char('<'))
                                .toUtf8() +
                            line + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace Output
