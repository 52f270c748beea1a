#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// usb16relayd's HTTP API over its Unix socket: one request per connection, synchronous, with a
// deadline. Who may connect is the socket's business (its group and mode); nothing else is sent.
class ServiceClient final
{
public:
    struct Answer
    {
        int status = 0;
        QByteArray body;
        QJsonObject json() const;
        QString error() const; // the service's "error" text
    };

    // Sees each request (sent = true) and answer, as a line.
    using Trace = std::function<void(bool sent, const QByteArray &line)>;

    explicit ServiceClient(const QString &socket) : m_socket(socket) {}

    QString socket() const { return m_socket; }
    void setTrace(Trace trace) { m_trace = std::move(trace); }

    // Nothing when the socket could not be reached or gave no whole answer within `bound`;
    // reachable() then tells the two apart and errorString() says why.
    std::optional<Answer> request(const QByteArray &method, const QString &path,
                                  const QByteArray &body, std::chrono::milliseconds bound);
    bool reachable() const { return m_reachable; }
    QString errorString() const { return m_error; }

private:
    bool trusted(int fd);

    QString m_socket;
    Trace m_trace;
    bool m_reachable = false;
    QString m_error;
};
