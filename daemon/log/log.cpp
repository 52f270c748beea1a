#include "log.h"

#include <QByteArray>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> g_verbose{false};

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
    if (g_verbose.load(std::memory_order_relaxed))
        write(7, message);
}

void setVerbose(bool verbose)
{
    g_verbose.store(verbose, std::memory_order_relaxed);
}

} // namespace Log
