#include "localbroker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char *kMosquitto = "/usr/sbin/mosquitto";
constexpr int kStartMs = 5000;

sockaddr_in loopback(int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

LocalBroker::LocalBroker()
{
    // Into a file, not a pipe: a test that does not turn the event loop for a while would leave a
    // pipe full, and mosquitto stops serving every client until its log line is written.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("mosquitto.log")));
}

QByteArray LocalBroker::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("mosquitto.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

LocalBroker::~LocalBroker()
{
    stop();
}

int LocalBroker::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool LocalBroker::accepting() const
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(m_port);
    const bool ok =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

bool LocalBroker::start(const QByteArray &listenerOptions)
{
    stop();
    if (!m_dir.isValid() || !QFile::exists(QString::fromLatin1(kMosquitto))) {
        m_errorString = QStringLiteral("no %1 (Debian package mosquitto)").arg(kMosquitto);
        return false;
    }
    if (m_port == 0)
        m_port = freePort();
    m_options = listenerOptions;
    const QString configPath = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_errorString = config.errorString();
        return false;
    }
    // Started as root, mosquitto becomes the user named here; the test's own files stay readable.
    const passwd *self = ::getpwuid(::getuid());
    // Every client is the test's own: none has a message dropped from a full queue, even in the
    // burst of a whole fleet starting.
    QByteArray text = "persistence false\nlog_dest stdout\nlog_type all\nset_tcp_nodelay true\n"
                      "max_queued_messages 0\n";
    if (self)
        text += "user " + QByteArray(self->pw_name) + "\n";
    text += "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
    if (!listenerOptions.contains("password_file"))
        text += "allow_anonymous true\n";
    text += listenerOptions;
    config.write(text);
    config.close();
    m_process.start(QString::fromLatin1(kMosquitto), {QStringLiteral("-c"), configPath});
    if (!m_process.waitForStarted(kStartMs)) {
        m_errorString = m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(kStartMs);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (accepting())
            return true;
        QThread::msleep(20);
    }
    m_errorString = QStringLiteral("mosquitto did not listen on port %1: %2")
                        .arg(m_port)
                        .arg(QString::fromLocal8Bit(log()));
    return false;
}

void LocalBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(kStartMs))
        kill();
}

void LocalBroker::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(kStartMs);
}

void LocalBroker::reload()
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGHUP);
}
