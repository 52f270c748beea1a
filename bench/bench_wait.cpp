// Processor time spent per second of waiting: the paced wait (a sleep in the event loop) against,
// in the same run, the wait it replaced, which spins on the clock while processing events. Each
// round is one second made of twenty 50 ms waits, the window's most frequent pause.
// Run: build-bench/bench/bench_wait [rounds]

#include "measure.h"
#include "pacedwait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWaitsPerRound = 20;
constexpr int kWaitMs = 50;

void spinningWait(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Percent of one core used while the waits ran.
template <class Wait> double cpuShare(Wait wait)
{
    const double cpuBefore = Measure::processCpuMs();
    const double wallBefore = Measure::monotonicMs();
    for (int i = 0; i < kWaitsPerRound; ++i)
        wait(kWaitMs);
    return 100.0 * (Measure::processCpuMs() - cpuBefore) / (Measure::monotonicMs() - wallBefore);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::vector<double> paced;
    std::vector<double> spinning;
    // Alternating, so both see the same load on the machine.
    for (int i = 0; i < rounds; ++i) {
        paced.push_back(cpuShare(pacedWait));
        spinning.push_back(cpuShare(spinningWait));
    }
    Measure::info("qt", qVersion());
    Measure::figure("wait.paced", "% of a core", "Paced wait (sleeps in the event loop)", paced);
    Measure::figure("wait.spinning", "% of a core",
                    "Reference: processEvents in a loop until the deadline", spinning);
    return 0;
}
