#pragma once

#include <QString>

#include <sys/types.h>

// The service's Unix socket: the HTTP API for this machine's users, guarded by the socket file's
// owner, group and mode rather than a token (a browser cannot reach it).
class LocalSocket final
{
public:
    LocalSocket() = default;
    ~LocalSocket();
    LocalSocket(const LocalSocket &) = delete;
    LocalSocket &operator=(const LocalSocket &) = delete;

    // The listening socket systemd handed over (a .socket unit), if any. False without one.
    bool adoptFromSystemd();
    // Creates and listens on `path`, mode 0660, group `group` where the service may give it
    // (the boards' devices' group, or dialout). Refused: a path that exists and is not a socket
    // of this user's that nothing listens on any more, a link, or a parent that is a link.
    bool listen(const QString &path, gid_t group, QString *error);

    int fd() const { return m_fd; }
    QString path() const { return m_path; }
    // Closes the socket; the file is removed only when it is still the one this created.
    void close();

    // The group to give the socket: that of the first device that exists, else dialout, else
    // none (-1).
    static gid_t groupFor(const QStringList &devices);

private:
    int m_fd = -1;
    QString m_path;
    bool m_created = false;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};
