#include "measure.h"

#include <cstdio>
#include <ctime>

namespace Measure {

namespace {

double clockMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
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
