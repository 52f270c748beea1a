// Measurements, not pass/fail: wall time of usb16relay-ctl from process start to exit against
// usb16relay-sim on a pty, beside the window's fixed status pause and the wire's own floor.
// Run: build/bench/bench_ctl [runs]

#include "measure.h"
#include "relayprotocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10; // start, 8 data, stop

struct Summary
{
    double median, p99;
};

Summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) {
        return samples[size_t(q * (samples.size() - 1))];
    };
    return {at(0.5), at(0.99)};
}

double wireMs(qsizetype bytes)
{
    return bytes * kBitsPerByte / kBaud * 1000.0;
}

// Wall times in ms, or nothing when a run failed.
std::vector<double> time(const QStringList &arguments, const QString &portDir, int runs)
{
    std::vector<double> samples;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("USB16RELAY_PORT_DIR"), portDir);
    for (int i = 0; i < runs; ++i) {
        QProcess ctl;
        ctl.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        ctl.start(QStringLiteral(USB16RELAY_CTL_PATH), arguments);
        if (!ctl.waitForFinished(10000) || ctl.exitStatus() != QProcess::NormalExit ||
            ctl.exitCode() != 0) {
            std::fprintf(stderr, "bench_ctl: %s failed: %s\n",
                         qPrintable(arguments.join(QLatin1Char(' '))),
                         ctl.readAllStandardError().constData());
            return {};
        }
        samples.push_back(clock.nsecsElapsed() / 1e6);
    }
    return samples;
}

// usb16relay-sim as COM1 in `dir`, with extra options; false when it did not start.
bool startSim(QProcess *sim, const QTemporaryDir &dir, const QStringList &extra)
{
    const QString link = dir.filePath(QStringLiteral("COM1"));
    sim->start(QStringLiteral(USB16RELAY_SIM_PATH),
               QStringList{QStringLiteral("--link"), link, QStringLiteral("--quiet")} + extra);
    const QDeadlineTimer deadline(10000);
    while (!QFileInfo(link).isSymLink() && !deadline.hasExpired())
        QThread::msleep(5);
    return QFileInfo(link).isSymLink();
}

void stopSim(QProcess *sim)
{
    sim->terminate();
    sim->waitForFinished(10000);
}

// A minimal pyserial script that asks once and reads the two bytes: the reference.
const char *const kPySerial = "import serial,sys\n"
                              "s=serial.Serial(sys.argv[1],9600,timeout=5)\n"
                              "s.write(b'ask//')\n"
                              "sys.exit(0 if len(s.read(2))==2 else 1)\n";

// The same runs of a program, for the reference script.
std::vector<double> timeProgram(const QString &program, const QStringList &arguments, int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(program, arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0)
            return {};
        samples.push_back(clock.nsecsElapsed() / 1e6);
    }
    return samples;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(2, QByteArray(argv[1]).toInt()) : 50;

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    QProcess sim;
    if (!startSim(&sim, dir, {})) {
        std::fprintf(stderr, "bench_ctl: the simulated board did not start\n");
        return 1;
    }

    const std::vector<double> status = time({QStringLiteral("status")}, dir.path(), runs);
    const std::vector<double> on5 =
        time({QStringLiteral("on"), QStringLiteral("5")}, dir.path(), runs);
    const std::vector<double> script =
        timeProgram(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"), QString::fromLatin1(kPySerial), link}, runs);
    // The same board served by usb16relayd: usb16relay-ctl finds the port held and asks the
    // service through its socket.
    std::vector<double> servedStatus;
    std::vector<double> servedOn5;
#ifdef USB16RELAYD_PATH
    {
        const QString socket = dir.filePath(QStringLiteral("http.sock"));
        QProcess service;
        service.setStandardErrorFile(QProcess::nullDevice());
        service.start(QStringLiteral(USB16RELAYD_PATH),
                      {QStringLiteral("--device"), link, QStringLiteral("--id"),
                       QStringLiteral("b1"), QStringLiteral("--socket"), socket});
        const QStringList route{QStringLiteral("--socket"), socket};
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() &&
               time(route + QStringList{QStringLiteral("--board"), QStringLiteral("b1"),
                                        QStringLiteral("status")},
                    dir.path(), 1)
                   .empty())
            QThread::msleep(50);
        servedStatus = time(route + QStringList{QStringLiteral("status")}, dir.path(), runs);
        servedOn5 =
            time(route + QStringList{QStringLiteral("on"), QStringLiteral("5")}, dir.path(), runs);
        service.terminate();
        service.waitForFinished(20000);
    }
#endif
    stopSim(&sim);
    if (status.empty() || on5.empty())
        return 1;

    // The wire at 9600 baud behind a USB adapter whose latency timer is 16 ms.
    QProcess slowSim;
    if (!startSim(&slowSim, dir,
                  {QStringLiteral("--baud"), QStringLiteral("9600"), QStringLiteral("--latency"),
                   QStringLiteral("16")})) {
        std::fprintf(stderr, "bench_ctl: the simulated board at 9600 baud did not start\n");
        return 1;
    }
    const std::vector<double> lineStatus = time({QStringLiteral("status")}, dir.path(), runs);
    const std::vector<double> lineOn5 =
        time({QStringLiteral("on"), QStringLiteral("5")}, dir.path(), runs);
    stopSim(&slowSim);
    if (lineStatus.empty() || lineOn5.empty())
        return 1;

    // What usb16relay-ctl puts on the wire: ask// twice, two answers back.
    const qsizetype ask = 2 * RelayProtocol::askCommand().size();
    const qsizetype reply = 4;
    const qsizetype switching = RelayProtocol::switchCommand(5, true).size();
    constexpr double kLatency = 16;
    const Summary s = summarise(status);
    const Summary o = summarise(on5);
    std::printf("usb16relay-ctl against usb16relay-sim on a pty, %d runs each,\n"
                "wall time from process start to exit (ms):\n\n",
                runs);
    std::printf("%-26s %8s %8s %8s %12s\n", "", "median", "p99", "target", "wire floor");
    std::printf("%-26s %8.1f %8.1f %8s %12.1f\n", "ctl status", s.median, s.p99, "< 50",
                wireMs(ask + reply));
    std::printf("%-26s %8.1f %8.1f %8s %12.1f\n", "ctl on 5 (verified)", o.median, o.p99, "< 100",
                wireMs(switching + ask + reply));
    std::printf("%-26s %8lld %8s %8s %12.1f\n", "window status refresh",
                static_cast<long long>(RelayProtocol::kStatusPause.count()), "", "fixed",
                wireMs(ask + reply));
    std::printf(
        "\nWire floor: the bytes on the line at 9600 8N1 (10 bits, %.3f ms a byte): "
        "ask// twice and two\ntwo-byte replies = %lld bytes; on 5 adds 05+// = %lld bytes.\n",
        wireMs(1), static_cast<long long>(ask + reply),
        static_cast<long long>(switching + ask + reply));

    // The same, in the form scripts/bench.sh turns into docs/PERFORMANCE.md.
    std::printf("\n");
    Measure::figure("ctl.status", "ms", "usb16relay-ctl status, process start to exit", status);
    Measure::figure("ctl.on5", "ms", "usb16relay-ctl on 5, verified, process start to exit", on5);
    if (!script.empty()) {
        Measure::figure("ctl.pyserial", "ms", "A minimal pyserial script asking once", script);
        Measure::figure("ctl.status.vs.pyserial", "ratio",
                        "usb16relay-ctl status / the pyserial script, medians",
                        {summarise(status).median / summarise(script).median});
    }
    if (!servedStatus.empty() && !servedOn5.empty()) {
        Measure::figure("ctl.served.status", "ms",
                        "usb16relay-ctl status through usb16relayd's socket, start to exit",
                        servedStatus);
        Measure::figure("ctl.served.on5", "ms",
                        "usb16relay-ctl on 5 through usb16relayd's socket, verified, start to exit",
                        servedOn5);
    }
    Measure::figure("ctl.window", "ms", "The window's status refresh: its fixed pause",
                    {double(RelayProtocol::kStatusPause.count())});
    Measure::figure("ctl.line.status", "ms",
                    "usb16relay-ctl status at 9600 baud, 16 ms adapter latency", lineStatus);
    Measure::figure("ctl.line.on5", "ms", "usb16relay-ctl on 5 at 9600 baud, 16 ms adapter latency",
                    lineOn5);
    Measure::figure("ctl.wire.status", "ms", "Wire time of status at 9600 baud 8N1, the floor",
                    {wireMs(ask + reply)});
    Measure::figure("ctl.wire.on5", "ms", "Wire time of on 5 verified at 9600 baud 8N1, the floor",
                    {wireMs(switching + ask + reply)});
    Measure::figure("ctl.line.status.vs.floor", "ratio",
                    "status at 9600 baud / (1.5 x its wire floor + one 16 ms latency)",
                    {summarise(lineStatus).median / (1.5 * wireMs(ask + reply) + kLatency)});
    Measure::figure(
        "ctl.line.on5.vs.floor", "ratio",
        "on 5 at 9600 baud / (1.5 x its wire floor + one 16 ms latency)",
        {summarise(lineOn5).median / (1.5 * wireMs(switching + ask + reply) + kLatency)});
    return 0;
}
