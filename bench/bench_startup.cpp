// Start-up of the real program to its window shown, against a usb16relay-sim process. Connecting
// requires 500 ms of pauses (200 ms between the two refreshes, 300 ms for the second's answer);
// the rest is the program's own. The program is launched unchanged, with a Qt generic plugin
// (startupprobe) that reports on standard error when the first window has been painted.
// Run: build-bench/bench/bench_startup [launches]

#include "measure.h"
#include "relayprotocol.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kStartTimeoutMs = 15'000;
constexpr double kRequiredPauseMs =
    double((RelayProtocol::kConnectPause + RelayProtocol::kStatusPause).count());

bool waitForLink(const QString &path, QProcess &sim)
{
    if (!sim.waitForStarted())
        return false;
    for (int i = 0; i < 200 && sim.state() == QProcess::Running; ++i) {
        if (QFileInfo(path).isSymLink())
            return true;
        QThread::msleep(25);
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int launches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    const QString byteLog = dir.filePath(QStringLiteral("bytes.log"));
    QProcess sim;
    sim.setStandardOutputFile(QProcess::nullDevice());
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH),
              {QStringLiteral("--link"), link, QStringLiteral("--byte-log"), byteLog});
    if (!waitForLink(link, sim)) {
        std::fprintf(stderr, "the simulated board did not start\n");
        return 1;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("USB16RELAY_PORT_DIR"), dir.path());
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(USB16RELAY_PROBE_DIR));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
                       QStringLiteral("usb16relay-startup"));

    std::vector<double> total;
    std::vector<double> overhead;
    int faults = 0;
    for (int i = 0; i < launches; ++i) {
        const qint64 loggedBefore = QFileInfo(byteLog).size();
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setStandardOutputFile(QProcess::nullDevice());
        const double launchedAt = Measure::monotonicMs();
        program.start(QStringLiteral(USB16RELAY_APP_PATH), {});
        if (!program.waitForFinished(kStartTimeoutMs)) {
            program.kill();
            program.waitForFinished();
            ++faults;
            continue;
        }
        double shownAt = -1;
        for (const QByteArray &line : program.readAllStandardError().split('\n'))
            if (line.startsWith("usb16relay-shown "))
                shownAt = line.split(' ').value(1).toDouble();
        // Connecting asks twice; anything else means the program did not reach the board.
        QFile log(byteLog);
        QByteArray received;
        if (log.open(QIODevice::ReadOnly) && log.seek(loggedBefore))
            received = log.readAll();
        if (shownAt < 0 || received != "ask//ask//") {
            std::fprintf(stderr, "launch %d: shown %s, the board received \"%s\"\n", i + 1,
                         shownAt < 0 ? "never" : "yes", received.toHex(' ').constData());
            ++faults;
            continue;
        }
        total.push_back(shownAt - launchedAt);
        overhead.push_back(total.back() - kRequiredPauseMs);
    }
    sim.terminate();
    sim.waitForFinished();

    Measure::figure("startup.total", "ms", "Process start to the window shown", total);
    Measure::figure("startup.overhead", "ms", "Same, less the 500 ms of required pauses", overhead);
    Measure::figure("startup.faults", "count", "Launches that did not connect and show",
                    {double(faults)});
    return faults == 0 ? 0 : 1;
}
