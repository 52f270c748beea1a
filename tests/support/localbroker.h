#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A mosquitto of the test's own on a free loopback port, with a config the test writes; never a
// broker the machine may already run. Restarts on the same port.
class LocalBroker final
{
public:
    LocalBroker();
    ~LocalBroker();
    LocalBroker(const LocalBroker &) = delete;
    LocalBroker &operator=(const LocalBroker &) = delete;

    // `listener` options (TLS files, password_file, ...) go into the config after the listener.
    bool start(const QByteArray &listenerOptions = {});
    bool restart() { return start(m_options); }
    void stop();   // SIGTERM, then waits
    void kill();   // SIGKILL, then waits
    void reload(); // SIGHUP: mosquitto reads its password file again

    int port() const { return m_port; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QString errorString() const { return m_errorString; }
    // What the broker logged since it was last started.
    QByteArray log() const;

    static int freePort();

private:
    bool accepting() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QByteArray m_options;
    QString m_errorString;
};
