#include "owedanswers.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// "<bytes> <since> <device number> <inode> <change time s> <change time ns>\n" is far shorter.
constexpr qsizetype kMaxNote = 128;
// Created by the packages (tmpfiles.d): only root and the dialout group may write there.
constexpr const char *kPackagedDirectory = "/run/usb16relay";

qint64 bootMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QString ownerName(uid_t uid)
{
    if (const passwd *user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

QString kindOf(const struct stat &st)
{
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("a symbolic link");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a directory");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("a device");
    return QStringLiteral("a file of %1 bytes").arg(qint64(st.st_size));
}

// Why a file is not a note that counts, or nothing when it is one: a small regular file that no
// one else may change, written by root, the device's owner, a member of the device's group (the
// note carries that group), or this very user.
QString untrusted(const struct stat &note, const struct stat &device)
{
    if (!S_ISREG(note.st_mode))
        return kindOf(note) + QStringLiteral(", not a note");
    if (note.st_size > kMaxNote)
        return kindOf(note) + QStringLiteral(", too large for a note");
    if (note.st_mode & S_IWOTH)
        return QStringLiteral("writable by anyone (mode %1)")
            .arg(note.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (note.st_uid == 0 || note.st_uid == device.st_uid || note.st_gid == device.st_gid ||
        note.st_uid == ::geteuid())
        return {};
    return QStringLiteral("owned by %1, who is not among the device's users (its owner or group)")
        .arg(ownerName(note.st_uid));
}

bool trusted(const struct stat &note, const struct stat &device)
{
    return untrusted(note, device).isEmpty();
}

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

QString OwedAnswers::noteDirectory()
{
    const QByteArray override = qgetenv("USB16RELAY_OWED_DIR");
    if (!override.isEmpty())
        return QFile::decodeName(override);
    struct stat st
    {
    };
    if (::stat(kPackagedDirectory, &st) == 0 && S_ISDIR(st.st_mode))
        return QString::fromLatin1(kPackagedDirectory);
    // Never anywhere else (a temporary directory of one's own): a note no other program reads
    // is no record at all.
    return QStringLiteral("/run/lock");
}

void OwedAnswers::warn(const QString &what)
{
    const QString text = QStringLiteral("ignored %1/%2: %3").arg(m_directory, m_name, what);
    if (m_warning)
        m_warning(text);
    else
        qWarning("%s", qPrintable(text));
}

void OwedAnswers::attach(const QString &devicePath, int deviceFd)
{
    struct stat device
    {
    };
    const bool known = ::fstat(deviceFd, &device) == 0;
    const bool sameInstance = m_attached && known && device.st_rdev == m_device.st_rdev &&
                              device.st_ino == m_device.st_ino &&
                              device.st_ctim.tv_sec == m_device.st_ctim.tv_sec &&
                              device.st_ctim.tv_nsec == m_device.st_ctim.tv_nsec;
    if (m_keeping == Keeping::InMemory) {
        // The count survives a reopening of the same device, never a new one.
        if (!sameInstance) {
            m_bytes = 0;
            m_since = 0;
        }
        m_device = device;
        m_attached = known;
        return;
    }
    m_device = device;
    m_attached = known;
    m_bytes = 0;
    m_since = 0;
    m_error.clear();
    m_directory = noteDirectory();
    QString name = devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    m_name = QStringLiteral("usb16relay-owed.") + name;

    const Fd directory(
        ::open(QFile::encodeName(m_directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0)
        return; // nothing to read; writing says why it cannot
    const Fd fd(::openat(directory.get(), QFile::encodeName(m_name).constData(),
                         O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ELOOP)
            warn(QStringLiteral("a symbolic link, not a note"));
        else if (errno != ENOENT)
            warn(QStringLiteral("cannot be read (%1)").arg(qt_error_string(errno)));
        return;
    }
    struct stat note
    {
    };
    if (::fstat(fd.get(), &note) != 0)
        return;
    if (const QString why = untrusted(note, device); !why.isEmpty()) {
        warn(why);
        return;
    }
    char buffer[kMaxNote];
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    const QList<QByteArray> fields =
        QByteArray(buffer, count > 0 ? int(count) : 0).trimmed().split(' ');
    bool ok[6] = {};
    qint64 values[6] = {};
    for (int i = 0; i < 6 && fields.size() == 6; ++i)
        values[i] = fields[i].toLongLong(&ok[i]);
    if (fields.size() != 6 ||
        !std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || values[0] < 0 ||
        values[0] > 1024) {
        warn(QStringLiteral("not a note (%1)").arg(kindOf(note)));
        return;
    }
    if (quint64(values[2]) != quint64(device.st_rdev) ||
        quint64(values[3]) != quint64(device.st_ino) || values[4] != device.st_ctim.tv_sec ||
        values[5] != device.st_ctim.tv_nsec)
        return; // left for an earlier device under this name
    const qint64 age = bootMs() - values[1];
    if (age < 0 || age >= kHorizon.count())
        return;
    m_bytes = int(values[0]);
    m_since = values[1];
}

void OwedAnswers::detach()
{
    if (m_keeping == Keeping::InMemory)
        return; // kept for a reopening of the same device
    m_attached = false;
    m_bytes = 0;
    m_since = 0;
}

qint64 OwedAnswers::ageMs() const
{
    return bootMs() - m_since;
}

bool OwedAnswers::owe(int bytes)
{
    m_bytes += bytes;
    m_since = bootMs();
    return save();
}

void OwedAnswers::pay(int bytes)
{
    if (m_bytes == 0 || bytes <= 0)
        return;
    m_bytes = std::max(0, m_bytes - bytes);
    save(); // a note that still says more is owed only makes the next program wait
}

void OwedAnswers::forgive()
{
    if (m_bytes == 0)
        return;
    m_bytes = 0;
    save();
}

bool OwedAnswers::check()
{
    if (!save(true))
        return false;
    return m_bytes > 0 || save();
}

bool OwedAnswers::save(bool probe)
{
    m_error.clear();
    if (m_keeping == Keeping::InMemory || !m_attached)
        return true;
    const QString path = m_directory + QLatin1Char('/') + m_name;
    const auto cannot = [this, &path](const QString &why, const QString &todo) {
        m_error = QStringLiteral("the record of answers the board still owes cannot be kept in %1 "
                                 "(%2), where every program using the device looks for it, so a "
                                 "late answer could be taken for the state; nothing was asked. %3")
                      .arg(path, why, todo);
        return false;
    };
    const Fd directory(
        ::open(QFile::encodeName(m_directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0)
        return cannot(qt_error_string(errno),
                      QStringLiteral("Create %1 so that the users of the device may write there.")
                          .arg(m_directory));
    const QByteArray name = QFile::encodeName(m_name);
    struct stat found
    {
    };
    const bool exists =
        ::fstatat(directory.get(), name.constData(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (m_bytes == 0 && !probe) {
        if (!exists)
            return true;
        if (trusted(found, m_device) && ::unlinkat(directory.get(), name.constData(), 0) == 0)
            return true;
    }
    const QByteArray note = QByteArray::number(m_bytes) + ' ' + QByteArray::number(m_since) + ' ' +
                            QByteArray::number(quint64(m_device.st_rdev)) + ' ' +
                            QByteArray::number(quint64(m_device.st_ino)) + ' ' +
                            QByteArray::number(qint64(m_device.st_ctim.tv_sec)) + ' ' +
                            QByteArray::number(qint64(m_device.st_ctim.tv_nsec)) + '\n';
    Fd fd;
    if (exists) {
        fd.reset(::openat(directory.get(), name.constData(),
                          O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        struct stat opened
        {
        };
        if (fd.get() >= 0 && (::fstat(fd.get(), &opened) != 0 || !trusted(opened, m_device)))
            fd.reset(-1);
        if (fd.get() < 0) {
            // Not a note that counts: replaced when this user may, else nothing is asked.
            if (::unlinkat(directory.get(), name.constData(), 0) != 0)
                return cannot(QStringLiteral("%1 owned by %2 is there and cannot be replaced")
                                  .arg(kindOf(found), ownerName(found.st_uid)),
                              found.st_uid == 0
                                  ? QStringLiteral("Remove it (root can: sudo rm %1).").arg(path)
                                  : QStringLiteral("Remove it (%1 or root can: sudo rm %2).")
                                        .arg(ownerName(found.st_uid), path));
            warn(QStringLiteral("%1 owned by %2, replaced by this program's note")
                     .arg(kindOf(found), ownerName(found.st_uid)));
        } else if (::ftruncate(fd.get(), 0) != 0) {
            return cannot(qt_error_string(errno), QString());
        }
    }
    if (fd.get() < 0) {
        fd.reset(::openat(directory.get(), name.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0660));
        if (fd.get() < 0)
            return cannot(
                qt_error_string(errno),
                QStringLiteral("Make %1 writable for the users of the device.").arg(m_directory));
        // Every user of the device may be next on it: the note is their group's to update.
        [[maybe_unused]] const int grouped = ::fchown(fd.get(), uid_t(-1), m_device.st_gid);
        ::fchmod(fd.get(), 0660);
    }
    if (::pwrite(fd.get(), note.constData(), size_t(note.size()), 0) != note.size())
        return cannot(qt_error_string(errno), QString());
    return true;
}
