#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// usb16relayd's HTTP API over its Unix socket: one request per connection, with a deadline.
// Who may connect is the socket's business (its group and mode); nothing else is sent.
// request() waits for the answer; ServiceCall sends the same bytes and reads the same answer on
// an event loop.
class ServiceClient final
{
public:
    static constexpr const char *kDefaultSocket = "/run/usb16relayd/http.sock";
    // An answer longer than this is not the service's.
    static constexpr qsizetype kMaxAnswer = 1 << 20;

    struct Answer
    {
        int status = 0;
        QByteArray body;
        QJsonObject json() const;
        QString error() const; // the service's "error" text
    };

    // Why the socket could not be used.
    enum class Problem { None, NoPermission, NotServed, Untrusted, NoAnswer };

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
    Problem problem() const { return m_problem; }
    QString errorString() const { return m_error; }

    // A descriptor connected to a socket served by someone trusted, or -1 with errorString()
    // and problem() set. Without waitForRoom it is non-blocking, and a service whose backlog is
    // full is not waited for.
    int connectTrusted(bool waitForRoom);
    // The request as sent. A stream is asked for in HTTP/1.0, so that it comes unchunked.
    QByteArray requestBytes(const QByteArray &method, const QString &path, const QByteArray &body,
                            bool stream = false) const;
    // The status and where the body begins, once the head is whole.
    static std::optional<std::pair<int, qsizetype>> head(const QByteArray &in);
    // A whole answer (the connection closed after it); nothing, with errorString() set, for less.
    std::optional<Answer> answerOf(const QByteArray &in, std::chrono::milliseconds bound);

private:
    bool trusted(int fd);

    QString m_socket;
    Trace m_trace;
    bool m_reachable = false;
    Problem m_problem = Problem::None;
    QString m_error;
};
