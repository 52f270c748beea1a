// The window on the offscreen platform against a simulated board on a pty:
//  - click to painted indicator: a real mouse click on cmdRelay5 until fStatus(4) has been
//    repainted in its new colour, against the 350 ms of pauses the protocol requires;
//  - peak resident memory over a run of relay toggles and console sends.
// Run: QT_QPA_PLATFORM=offscreen build-bench/bench/bench_window [toggles [timed [sends]]]

#include "boardports.h"
#include "colourword.h"
#include "measure.h"
#include "paintwatch.h"
#include "relayprotocol.h"
#include "usb16relay.h"
#include "windowprobe.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kRelay = 5;
constexpr auto kPaintTimeout = 5s;
constexpr double kRequiredPauseMs =
    double((RelayProtocol::kSwitchPause + RelayProtocol::kStatusPause).count());
// 9600 baud, 8N1: ten bits a byte; "05+//", "ask//" and the two status bytes.
constexpr double kWireFloorMs = 12 * 10 * 1000.0 / 9600;

int argument(int argc, char *argv[], int index, int fallback)
{
    return argc > index ? std::max(0, std::atoi(argv[index])) : fallback;
}

bool waitForPaint(const PaintWatch &watch)
{
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(kPaintTimeout);
    const QDeadlineTimer deadline(kPaintTimeout);
    while (!watch.painted() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return watch.painted();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int toggles = argument(argc, argv, 1, 1000);
    const int timed = std::min(toggles, argument(argc, argv, 2, 200));
    const int sends = argument(argc, argv, 3, 1000);

    BoardPorts ports;
    SimulatedBoard *board = ports.add(1, 0x8140);
    if (!board)
        return 1;
    Usb16Relay window;
    window.Form_Load();
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "the window was never shown\n");
        return 1;
    }
    const qint64 shownKb = ProcessStats::residentKiB();

    auto *button =
        WindowProbe::control<QPushButton>(window, QStringLiteral("cmdRelay%1").arg(kRelay));
    StatusIndicator *indicator = WindowProbe::indicator(window, kRelay - 1);
    PaintWatch watch(indicator);
    std::vector<double> total;
    std::vector<double> overhead;
    int faults = 0;
    for (int i = 0; i < toggles; ++i) {
        const bool wasOn =
            WindowProbe::indicatorColours(window).at(kRelay - 1) == ColourWord::kRelayOn;
        watch.expect(wasOn ? ColourWord::kRelayOff : ColourWord::kRelayOn);
        const double clickedAt = Measure::monotonicMs();
        QTest::mouseClick(button, Qt::LeftButton);
        const bool painted = waitForPaint(watch);
        const bool boardAgrees = ((board->state() & (0x8000u >> (kRelay - 1))) != 0) == !wasOn;
        if (!painted || !boardAgrees) {
            ++faults;
            continue;
        }
        if (i < timed) {
            total.push_back(watch.paintedAtMs() - clickedAt);
            overhead.push_back(total.back() - kRequiredPauseMs);
        }
    }
    const qint64 afterTogglesKb = ProcessStats::residentKiB();

    auto *txtSend = WindowProbe::control<QLineEdit>(window, QStringLiteral("txtSend"));
    auto *txtReceive = WindowProbe::control<QPlainTextEdit>(window, QStringLiteral("txtReceive"));
    txtSend->setText(QStringLiteral("ask//"));
    for (int i = 0; i < sends; ++i) {
        const qsizetype before = txtReceive->toPlainText().size();
        WindowProbe::click(window, QStringLiteral("cmdSend"));
        faults += txtReceive->toPlainText().size() > before ? 0 : 1;
    }
    const qint64 endKb = ProcessStats::residentKiB();
    const double consoleKb = double(txtReceive->toPlainText().size()) * 2 / 1024;

    Measure::figure("click.total", "ms", "Click on cmdRelay5 to fStatus(4) painted", total);
    Measure::figure("click.overhead", "ms", "Same, less the 350 ms of required pauses", overhead);
    Measure::figure("click.wire", "ms", "Wire time at 9600 baud 8N1 (12 bytes), the floor",
                    {kWireFloorMs});
    Measure::figure("memory.peak", "MB",
                    qPrintable(QStringLiteral("Peak resident size over %1 toggles and %2 console "
                                              "sends")
                                   .arg(toggles)
                                   .arg(sends)),
                    {double(ProcessStats::peakResidentKiB()) / 1024});
    Measure::figure("memory.shown", "MB", "Resident size once the window is shown",
                    {double(shownKb) / 1024});
    Measure::figure("memory.toggles", "MB", "Growth over the toggles",
                    {double(afterTogglesKb - shownKb) / 1024});
    Measure::figure("memory.sends", "MB", "Growth over the console sends",
                    {double(endKb - afterTogglesKb) / 1024});
    Measure::figure("memory.console", "MB", "The console's text (UTF-16)", {consoleKb / 1024});
    Measure::figure("memory.beyond", "MB", "Growth over the whole run beyond the console's text",
                    {double(endKb - shownKb) / 1024 - consoleKb / 1024});
    Measure::figure("window.faults", "count",
                    "Clicks without the right colour painted or sent "
                    "without a reply",
                    {double(faults)});
    return 0;
}
