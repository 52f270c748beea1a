#include "measure.h"

#include <QFile>

#include <cstdio>
#include <ctime>
#include <dirent.h>

namespace Measure {

namespace {

double clockMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

double processCpuMs()
{
    return clockMs(CLOCK_PROCESS_CPUTIME_ID);
}

double monotonicMs()
{
    return clockMs(CLOCK_MONOTONIC);
}

qint64 residentKb()
{
    return statusKb("VmRSS:");
}

qint64 peakResidentKb()
{
    return statusKb("VmHWM:");
}

int openDescriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

void figure(const char *id, const char *unit, const char *label, const std::vector<double> &samples)
{
    std::printf("figure\t%s\t%s\t%s\t", id, unit, label);
    for (size_t i = 0; i < samples.size(); ++i)
        std::printf(i ? " %.4f" : "%.4f", samples[i]);
    std::printf("\n");
    std::fflush(stdout);
}

void info(const char *id, const QByteArray &text)
{
    std::printf("info\t%s\t%s\n", id, text.constData());
    std::fflush(stdout);
}

} // namespace Measure
