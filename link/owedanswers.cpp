#include "owedanswers.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
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

constexpr int kNameDigits = 16;
constexpr int kNameAttempts = 8;

// A note under a name no one can guess: the common beginning, then 16 random hex digits.
bool isPrivateNoteName(const QByteArray &name, const QByteArray &prefix)
{
    if (!name.startsWith(prefix) || name.size() != prefix.size() + kNameDigits)
        return false;
    return std::all_of(name.cbegin() + prefix.size(), name.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

QByteArray privateNoteName(const QByteArray &prefix)
{
    return prefix + QByteArray::number(QRandomGenerator::system()->generate64(), 16)
                        .rightJustified(kNameDigits, '0');
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

void OwedAnswers::warn(const QByteArray &name, const QString &what)
{
    const QString text =
        QStringLiteral("ignored %1/%2: %3").arg(m_directory, QFile::decodeName(name), what);
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
    m_newestSince = -1;
    m_error.clear();
    m_privateNames = false;
    m_sharedWithoutStickyBit = false;
    m_ownName.clear();
    m_superseded.clear();
    m_directory = noteDirectory();
    QString name = devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    m_name = QStringLiteral("usb16relay-owed.") + name;

    const Fd directory(
        ::open(QFile::encodeName(m_directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat place
    {
    };
    if (directory.get() < 0 || ::fstat(directory.get(), &place) != 0)
        return; // nothing to read; writing says why it cannot
    if (place.st_mode & S_IWOTH) {
        m_privateNames = true;
        m_name += QLatin1Char('.');
        if (!(place.st_mode & S_ISVTX)) {
            m_sharedWithoutStickyBit = true; // nothing there can be believed
            return;
        }
        readPrivateNotes(directory.get(), device);
        return;
    }
    readNote(directory.get(), QFile::encodeName(m_name), device);
}

OwedAnswers::NoteFound OwedAnswers::readNote(int directory, const QByteArray &name,
                                             const struct stat &device)
{
    const Fd fd(::openat(directory, name.constData(),
                         O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT)
            return NoteFound::None;
        if (error == ELOOP)
            warn(name, QStringLiteral("a symbolic link, not a note"));
        else
            warn(name, QStringLiteral("cannot be read (%1)").arg(qt_error_string(error)));
        return NoteFound::Ignored;
    }
    struct stat note
    {
    };
    if (::fstat(fd.get(), &note) != 0)
        return NoteFound::Ignored;
    if (const QString why = untrusted(note, device); !why.isEmpty()) {
        warn(name, why);
        return NoteFound::Ignored;
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
        warn(name, QStringLiteral("not a note (%1)").arg(kindOf(note)));
        return NoteFound::Ignored;
    }
    if (quint64(values[2]) != quint64(device.st_rdev) ||
        quint64(values[3]) != quint64(device.st_ino) || values[4] != device.st_ctim.tv_sec ||
        values[5] != device.st_ctim.tv_nsec)
        return NoteFound::Stale; // left for an earlier device under this name
    const qint64 age = bootMs() - values[1];
    if (age < 0 || age >= kHorizon.count())
        return NoteFound::Stale;
    // Each program starts from what the notes before it said: the newest says it all.
    if (values[1] > m_newestSince) {
        m_newestSince = values[1];
        m_bytes = int(values[0]);
        m_since = values[1];
    }
    return NoteFound::Current;
}

void OwedAnswers::readPrivateNotes(int directory, const struct stat &device)
{
    const int listed = ::dup(directory);
    DIR *entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    const QByteArray prefix = QFile::encodeName(m_name);
    while (const dirent *entry = ::readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (!isPrivateNoteName(name, prefix))
            continue;
        struct stat found
        {
        };
        if (::fstatat(directory, name.constData(), &found, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (const QString why = untrusted(found, device); !why.isEmpty()) {
            warn(name, why);
            continue;
        }
        switch (readNote(directory, name, device)) {
        case NoteFound::Current:
            m_superseded.append(name);
            break;
        case NoteFound::Stale:
            if (found.st_uid == ::geteuid())
                ::unlinkat(directory, name.constData(), 0); // this user's own leftovers
            break;
        default:
            break;
        }
    }
    ::closedir(entries);
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
    if (m_bytes == 0)
        m_since = bootMs(); // newer than the notes this one settles
    save();                 // a note that still says more is owed only makes the next program wait
}

void OwedAnswers::forgive()
{
    if (m_bytes == 0)
        return;
    m_bytes = 0;
    m_since = bootMs();
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
    const QString path = m_privateNames ? m_directory : m_directory + QLatin1Char('/') + m_name;
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
    if (m_sharedWithoutStickyBit)
        return cannot(QStringLiteral("anyone may remove or replace files there"),
                      QStringLiteral("Make it sticky (sudo chmod +t %1), or create "
                                     "/run/usb16relay for the users of the device.")
                          .arg(m_directory));
    const QByteArray note = QByteArray::number(m_bytes) + ' ' + QByteArray::number(m_since) + ' ' +
                            QByteArray::number(quint64(m_device.st_rdev)) + ' ' +
                            QByteArray::number(quint64(m_device.st_ino)) + ' ' +
                            QByteArray::number(qint64(m_device.st_ctim.tv_sec)) + ' ' +
                            QByteArray::number(qint64(m_device.st_ctim.tv_nsec)) + '\n';
    if (m_privateNames)
        return savePrivate(directory.get(), note, probe, cannot);
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
            warn(name, QStringLiteral("%1 owned by %2, replaced by this program's note")
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

bool OwedAnswers::savePrivate(int directory, const QByteArray &note, bool probe,
                              const std::function<bool(const QString &, const QString &)> &cannot)
{
    // Nothing owed and no earlier note to outdate: no note at all.
    if (m_bytes == 0 && !probe && m_superseded.isEmpty()) {
        removeOwnNote(directory, note);
        return true;
    }
    Fd fd;
    if (!m_ownName.isEmpty()) {
        fd.reset(::openat(directory, m_ownName.constData(),
                          O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        struct stat opened
        {
        };
        if (fd.get() >= 0 && (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
                              opened.st_uid != ::geteuid()))
            fd.reset(-1);
        if (fd.get() >= 0 && ::ftruncate(fd.get(), 0) != 0)
            return cannot(qt_error_string(errno), QString());
    }
    const QByteArray prefix = QFile::encodeName(m_name);
    for (int attempt = 0; fd.get() < 0 && attempt < kNameAttempts; ++attempt) {
        const QByteArray name = privateNoteName(prefix);
        fd.reset(::openat(directory, name.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0660));
        if (fd.get() < 0 && errno != EEXIST)
            return cannot(
                qt_error_string(errno),
                QStringLiteral("Make %1 writable for the users of the device.").arg(m_directory));
        if (fd.get() >= 0) {
            m_ownName = name;
            [[maybe_unused]] const int grouped = ::fchown(fd.get(), uid_t(-1), m_device.st_gid);
            ::fchmod(fd.get(), 0660);
        }
    }
    if (fd.get() < 0)
        return cannot(QStringLiteral("every name tried was taken"), QString());
    if (::pwrite(fd.get(), note.constData(), size_t(note.size()), 0) != note.size())
        return cannot(qt_error_string(errno), QString());
    // This note says it all now; the earlier ones go where this user may remove them.
    m_superseded.erase(std::remove_if(m_superseded.begin(), m_superseded.end(),
                                      [directory](const QByteArray &name) {
                                          return ::unlinkat(directory, name.constData(), 0) == 0 ||
                                                 errno == ENOENT;
                                      }),
                       m_superseded.end());
    if (m_bytes == 0 && !probe && m_superseded.isEmpty())
        removeOwnNote(directory, note);
    return true;
}

void OwedAnswers::removeOwnNote(int directory, const QByteArray &settled)
{
    if (m_ownName.isEmpty())
        return;
    // Settled before it goes, so that a hard link someone made to it says so too.
    const Fd fd(::openat(directory, m_ownName.constData(),
                         O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (fd.get() >= 0 && ::ftruncate(fd.get(), 0) == 0) {
        [[maybe_unused]] const ssize_t written =
            ::pwrite(fd.get(), settled.constData(), size_t(settled.size()), 0);
    }
    ::unlinkat(directory, m_ownName.constData(), 0); // gone already is as good
    m_ownName.clear();
}
