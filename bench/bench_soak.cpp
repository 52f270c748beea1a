// Long run of full window refreshes (cmdAsk clicks) with the real pauses, against a simulated
// board whose state changes now and then: every refresh must paint the board's state, memory
// must not creep up, and no descriptor may be left open. About 5 minutes for 1,000 refreshes.
// Run: QT_QPA_PLATFORM=offscreen build-bench/bench/bench_soak [refreshes]

#include "boardports.h"
#include "measure.h"
#include "usb16relay.h"
#include "windowprobe.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kStateChangeEvery = 7;
constexpr int kMeasureAfter = 100;

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int refreshes = argc > 1 ? std::max(kMeasureAfter, std::atoi(argv[1])) : 1000;

    BoardPorts ports;
    SimulatedBoard *board = ports.add(1, 0x8140);
    if (!board)
        return 1;
    const int descriptorsBefore = ProcessStats::openDescriptors();
    std::vector<double> refreshMs;
    int faults = 0;
    qint64 residentEarlyKb = 0;
    qint64 residentLateKb = 0;
    {
        auto window = std::make_unique<Usb16Relay>();
        window->Form_Load();
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return 1;
        quint16 state = board->state();
        for (int i = 1; i <= refreshes; ++i) {
            if (i % kStateChangeEvery == 0) {
                state = quint16(state * 25173u + 13849u);
                board->setState(state);
            }
            const double started = Measure::monotonicMs();
            WindowProbe::click(*window, QStringLiteral("cmdAsk"));
            refreshMs.push_back(Measure::monotonicMs() - started);
            if (WindowProbe::indicatorColours(*window) != WindowProbe::coloursFor(state) ||
                WindowProbe::visibleReport(*window)) {
                ++faults;
                std::fprintf(stderr, "refresh %d did not show the board's state %04x\n", i, state);
            }
            if (i == kMeasureAfter)
                residentEarlyKb = ProcessStats::residentKiB();
        }
        residentLateKb = ProcessStats::residentKiB();
        window->close();
    }
    QCoreApplication::processEvents();
    const int descriptorsLeft = ProcessStats::openDescriptors() - descriptorsBefore;

    Measure::figure("soak.refresh", "ms", "cmdAsk click, handler start to end (300 ms pause)",
                    refreshMs);
    Measure::figure("soak.faults", "count", "Refreshes not showing the board's state",
                    {double(faults)});
    Measure::figure("soak.growth", "MB",
                    "Resident size growth from refresh 100 to the last refresh",
                    {double(residentLateKb - residentEarlyKb) / 1024});
    Measure::figure("soak.descriptors", "count", "Descriptors left open after the window closed",
                    {double(descriptorsLeft)});
    return faults == 0 ? 0 : 1;
}
