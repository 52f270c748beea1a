#include "servicecall.h"

#include <QJsonDocument>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

ServiceCall::ServiceCall(const QString &socket, QObject *parent) : QObject(parent), m_client(socket)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { end(m_client.answerOf({}, m_bound)); });
}

ServiceCall::~ServiceCall()
{
    m_reader.reset();
    m_writer.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ServiceCall::start(const QByteArray &method, const QString &path, const QByteArray &body,
                        std::chrono::milliseconds bound)
{
    m_bound = bound;
    if (!open(m_client.requestBytes(method, path, body)))
        return false;
    m_deadline.start(bound);
    return true;
}

bool ServiceCall::startStream(const QString &path)
{
    m_stream = true;
    return open(m_client.requestBytes("GET", path, {}, true));
}

bool ServiceCall::open(const QByteArray &request)
{
    m_fd = m_client.connectTrusted(false);
    if (m_fd < 0)
        return false;
    m_out = request;
    m_reader = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_writer = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &ServiceCall::handleReadable);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &ServiceCall::handleWritable);
    return true;
}

void ServiceCall::handleWritable()
{
    while (!m_out.isEmpty()) {
        const ssize_t wrote =
            ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            m_out.remove(0, wrote);
        } else if (wrote < 0 && errno == EINTR) {
            continue;
        } else if (wrote < 0 && errno == EAGAIN) {
            return;
        } else {
            m_error = QStringLiteral("usb16relayd at %1 closed the connection before taking the "
                                     "request: %2")
                          .arg(m_client.socket(), qt_error_string(errno));
            end(std::nullopt);
            return;
        }
    }
    m_writer->setEnabled(false);
}

void ServiceCall::handleReadable()
{
    for (;;) {
        char buffer[16384];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            m_in.append(buffer, got);
            if (!m_stream && m_in.size() > ServiceClient::kMaxAnswer) {
                end(m_client.answerOf({}, m_bound));
                return;
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        // The end of the answer, or of the connection.
        if (!m_stream) {
            end(m_client.answerOf(m_in, m_bound));
            return;
        }
        takeEvents();
        const auto found = ServiceClient::head(m_in);
        if (found && found->first != 200) {
            ServiceClient::Answer answer;
            answer.status = found->first;
            answer.body = m_in.mid(found->second);
            end(answer);
            return;
        }
        m_error = QStringLiteral("usb16relayd at %1 ended its event stream").arg(m_client.socket());
        end(std::nullopt);
        return;
    }
    if (m_stream)
        takeEvents();
}

// Server-sent events: "event: NAME" and "data: JSON" lines, each event ended by an empty line.
void ServiceCall::takeEvents()
{
    if (m_bodyAt < 0) {
        const auto found = ServiceClient::head(m_in);
        if (!found || found->first != 200)
            return;
        m_in.remove(0, found->second);
        m_bodyAt = 0;
    }
    for (qsizetype end = m_in.indexOf("\n\n"); end >= 0; end = m_in.indexOf("\n\n")) {
        QByteArray name;
        QByteArray data;
        for (const QByteArray &line : m_in.left(end).split('\n')) {
            if (line.startsWith("event:"))
                name = line.mid(6).trimmed();
            else if (line.startsWith("data:"))
                data += line.mid(5).trimmed();
        }
        m_in.remove(0, end + 2);
        if (!name.isEmpty())
            emit eventReceived(name, QJsonDocument::fromJson(data).object());
    }
}

void ServiceCall::end(std::optional<ServiceClient::Answer> answer)
{
    m_deadline.stop();
    // Called from their own signals: they go once those have returned.
    for (QSocketNotifier *notifier : {m_reader.release(), m_writer.release()}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_answer = std::move(answer);
    emit finished();
}
