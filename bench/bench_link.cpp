// Measurements, not pass/fail: how long waits really last, what they cost in processor time, and
// how long one status exchange takes against the simulated board on a pty.
// Run: build/bench/bench_link [rounds]

#include "comportpath.h"
#include "pacedwait.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

struct Summary
{
    double median, p95, max;
};

Summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) {
        return samples[size_t(q * (samples.size() - 1))];
    };
    return {at(0.5), at(0.95), samples.back()};
}

double processMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

void benchWait(int milliseconds, int rounds)
{
    std::vector<double> overshoot;
    const double cpuBefore = processMs();
    QElapsedTimer clock;
    for (int i = 0; i < rounds; ++i) {
        clock.start();
        pacedWait(milliseconds);
        overshoot.push_back(clock.nsecsElapsed() / 1e6 - milliseconds);
    }
    const double cpuPerWait = (processMs() - cpuBefore) / rounds;
    const Summary s = summarise(overshoot);
    std::printf("wait %3d ms: overshoot median %.3f ms, p95 %.3f ms, max %.3f ms; "
                "processor %.3f ms per wait (%.2f%% of its length)\n",
                milliseconds, s.median, s.p95, s.max, cpuPerWait,
                100.0 * cpuPerWait / milliseconds);
}

void benchExchange(int rounds)
{
    QTemporaryDir dir;
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(dir.path()));
    SimulatedBoard board;
    board.setState(0x8140);
    if (!board.start(dir.filePath(QStringLiteral("COM1")))) {
        std::printf("cannot start the simulated board: %s\n", qPrintable(board.errorString()));
        return;
    }
    SerialLink link;
    link.setRThreshold(1);
    if (!link.setPortOpen(true)) {
        std::printf("cannot open the link: %s\n", qPrintable(link.errorString()));
        return;
    }
    // From "ask//" leaving to both status bytes being readable.
    std::vector<double> roundTrip;
    QElapsedTimer clock;
    for (int i = 0; i < rounds; ++i) {
        link.setInBufferCount(0);
        clock.start();
        link.setOutput(RelayProtocol::askCommand());
        while (link.inBufferCount() < 2 && clock.elapsed() < 1000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        roundTrip.push_back(clock.nsecsElapsed() / 1e6);
        link.input();
    }
    const Summary s = summarise(roundTrip);
    std::printf("ask// round trip on a pty: median %.3f ms, p95 %.3f ms, max %.3f ms\n", s.median,
                s.p95, s.max);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    for (int ms : {50, 200, 300})
        benchWait(ms, rounds);
    benchExchange(rounds * 10);
    return 0;
}
