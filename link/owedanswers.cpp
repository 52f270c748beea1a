#include "owedanswers.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxNote = 64;

QByteArray readNote(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[kMaxNote];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return count > 0 ? QByteArray(buffer, int(count)) : QByteArray();
}

} // namespace

QString OwedAnswers::noteDirectory()
{
    const QByteArray override = qgetenv("USB16RELAY_OWED_DIR");
    if (!override.isEmpty())
        return QFile::decodeName(override);
    for (const char *dir : {"/run/lock", "/var/lock"}) {
        if (::access(dir, W_OK | X_OK) == 0)
            return QString::fromLatin1(dir);
    }
    return QDir::tempPath();
}

void OwedAnswers::attach(const QString &devicePath)
{
    QString name = devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    m_notePath = noteDirectory() + QStringLiteral("/usb16relay-owed.") + name;
    m_bytes = 0;
    m_since = 0;
    // "<bytes> <milliseconds since the epoch>"
    const QList<QByteArray> fields = readNote(m_notePath).trimmed().split(' ');
    if (fields.size() != 2)
        return;
    bool bytesOk = false;
    bool sinceOk = false;
    const int bytes = fields[0].toInt(&bytesOk);
    const qint64 since = fields[1].toLongLong(&sinceOk);
    if (!bytesOk || !sinceOk || bytes <= 0 || bytes > 1024)
        return;
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - since;
    if (age < 0 || age >= kHorizon.count())
        return;
    m_bytes = bytes;
    m_since = since;
}

void OwedAnswers::detach()
{
    m_notePath.clear();
    m_bytes = 0;
    m_since = 0;
}

qint64 OwedAnswers::ageMs() const
{
    return QDateTime::currentMSecsSinceEpoch() - m_since;
}

void OwedAnswers::owe(int bytes)
{
    m_bytes += bytes;
    m_since = QDateTime::currentMSecsSinceEpoch();
    save();
}

void OwedAnswers::pay(int bytes)
{
    if (m_bytes == 0 || bytes <= 0)
        return;
    m_bytes = std::max(0, m_bytes - bytes);
    save();
}

void OwedAnswers::save()
{
    if (m_notePath.isEmpty())
        return;
    const QByteArray path = QFile::encodeName(m_notePath);
    if (m_bytes == 0) {
        ::unlink(path.constData());
        return;
    }
    // Every user of the dialout group may be next on the device: the note is theirs to update.
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return; // without the note, only this process knows; nothing worse than before
    ::fchmod(fd, 0666);
    const QByteArray note = QByteArray::number(m_bytes) + ' ' + QByteArray::number(m_since) + '\n';
    [[maybe_unused]] const ssize_t written = ::write(fd, note.constData(), size_t(note.size()));
    ::close(fd);
}
