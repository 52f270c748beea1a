#include "statefile.h"

#include "relaymask.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StateFile {

namespace {

constexpr qint64 kMaxSize = 4096;

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

} // namespace

QString pathFor(const BoardConfig &board)
{
    return board.stateDirectory.isEmpty()
               ? QString()
               : QStringLiteral("%1/%2.state").arg(board.stateDirectory, board.id);
}

std::optional<quint16> read(const BoardConfig &board, QString *warning)
{
    const QString path = pathFor(board);
    if (path.isEmpty())
        return std::nullopt;
    const auto refuse = [&](const QString &why) -> std::optional<quint16> {
        *warning = QStringLiteral("%1: the saved state %2 %3; nothing is restored from it")
                       .arg(board.id, path, why);
        return std::nullopt;
    };
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? std::nullopt
                               : refuse(QStringLiteral("cannot be read (%1)").arg(lastError()));
    struct stat info = {};
    QByteArray bytes;
    const bool statted = ::fstat(fd, &info) == 0;
    if (statted && S_ISREG(info.st_mode) && info.st_size <= kMaxSize) {
        bytes.resize(kMaxSize + 1);
        const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
        bytes.resize(n < 0 ? 0 : qsizetype(n));
    }
    ::close(fd);
    if (!statted || !S_ISREG(info.st_mode))
        return refuse(QStringLiteral("is not a regular file"));
    if (info.st_size > kMaxSize)
        return refuse(QStringLiteral("is larger than a state is"));
    if (info.st_uid != ::geteuid())
        return refuse(QStringLiteral("belongs to uid %1, not to this service").arg(info.st_uid));
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return refuse(QStringLiteral("may be written by others (mode %1)")
                          .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0')));
    const QJsonObject saved = QJsonDocument::fromJson(bytes).object();
    const std::optional<RelayMask> state =
        RelayMask::fromHex(saved.value(QLatin1String("state")).toString());
    if (!state)
        return refuse(QStringLiteral("is torn or not a saved state"));
    if (saved.value(QLatin1String("board")).toString() != board.id ||
        saved.value(QLatin1String("device")).toString() != board.where())
        return refuse(QStringLiteral("was saved for %1 on %2, not for this board on %3")
                          .arg(saved.value(QLatin1String("board")).toString(),
                               saved.value(QLatin1String("device")).toString(), board.where()));
    return state->bits();
}

bool write(const BoardConfig &board, quint16 state, QString *error)
{
    const QString path = pathFor(board);
    const QByteArray json =
        QJsonDocument(QJsonObject{
                          {QStringLiteral("board"), board.id},
                          {QStringLiteral("device"), board.where()},
                          {QStringLiteral("state"), RelayMask(state).toHex()},
                          {QStringLiteral("saved_at"),
                           QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                      })
            .toJson(QJsonDocument::Compact) +
        '\n';
    const int directory = ::open(QFile::encodeName(board.stateDirectory).constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        *error = QStringLiteral("cannot open the state directory %1: %2")
                     .arg(board.stateDirectory, lastError());
        return false;
    }
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    const QByteArray temporary = name + ".new";
    const int fd = ::openat(directory, temporary.constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool done = fd >= 0 && writeAll(fd, json) && ::fsync(fd) == 0;
    if (fd >= 0)
        done = ::close(fd) == 0 && done;
    done = done && ::renameat(directory, temporary.constData(), directory, name.constData()) == 0 &&
           ::fsync(directory) == 0;
    if (!done) {
        *error = QStringLiteral("cannot save the state in %1: %2").arg(path, lastError());
        ::unlinkat(directory, temporary.constData(), 0);
    }
    ::close(directory);
    return done;
}

} // namespace StateFile
