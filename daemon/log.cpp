#include "log.h"

#include <QByteArray>

#include <cstdio>

namespace {

void write(int priority, const QString &message)
{
    // Newlines inside a message would make lines the journal cannot place.
    QByteArray line = message.toUtf8();
    line.replace('\n', ' ');
    std::fprintf(stderr, "<%d>%s\n", priority, line.constData());
    std::fflush(stderr);
}

} // namespace

namespace Log {

void error(const QString &message)
{
    write(3, message);
}

void warning(const QString &message)
{
    write(4, message);
}

void info(const QString &message)
{
    write(6, message);
}

void debug(const QString &message)
{
    write(7, message);
}

} // namespace Log
