// Measurements, not pass/fail: usb16relayd against usb16relay-sim processes on ptys and a
// mosquitto of its own on loopback, through a real MQTT client.
// Run: build/bench/bench_daemon [commands]

#include "localbroker.h"
#include "measure.h"
#include "mqttprobe.h"
#include "relaymask.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kWait = 20000;
constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10;

double msBetween(std::chrono::steady_clock::time_point from,
                 std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

QString maskOf(const QByteArray &statePayload)
{
    return QJsonDocument::fromJson(statePayload).object().value("mask").toString();
}

class Rig
{
public:
    bool valid() const { return m_dir.isValid(); }

    bool startBoard(int port, const QStringList &extra = {})
    {
        auto sim = std::make_unique<QProcess>();
        sim->start(
            QStringLiteral(USB16RELAY_SIM_PATH),
            QStringList{QStringLiteral("--link"), portPath(port), QStringLiteral("--quiet")} +
                extra);
        const QDeadlineTimer deadline(5000);
        while (!QFile::exists(portPath(port)) && !deadline.hasExpired())
            QThread::msleep(10);
        m_sims.push_back(std::move(sim));
        return QFile::exists(portPath(port));
    }

    bool startService(const QByteArray &boards, int port)
    {
        const QString config = m_dir.filePath(QStringLiteral("service.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("[mqtt]\nurl = mqtt://127.0.0.1:" + QByteArray::number(port) + "\n" + boards);
        file.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("USB16RELAY_PORT_DIR"), m_dir.path());
        m_service.setProcessEnvironment(environment);
        m_service.setStandardErrorFile(m_dir.filePath(QStringLiteral("service.log")));
        m_service.start(QStringLiteral(USB16RELAYD_PATH), {QStringLiteral("--config"), config});
        return m_service.waitForStarted(5000);
    }

    qint64 servicePid() const { return m_service.processId(); }

    ~Rig()
    {
        m_service.terminate();
        m_service.waitForFinished(10000);
        for (auto &sim : m_sims) {
            sim->terminate();
            sim->waitForFinished(5000);
        }
    }

private:
    QString portPath(int port) const { return m_dir.filePath(QStringLiteral("COM%1").arg(port)); }

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_sims;
    QProcess m_service;
};

QByteArray boardSection(int port, int pollMs = 1000)
{
    return "[com" + QByteArray::number(port) + "]\nport = " + QByteArray::number(port) +
           "\npoll_interval = " + QByteArray::number(pollMs) + "\n";
}

// Publish ON or OFF, wait for the relay's topic to say it; the times of both.
std::vector<double> commandLatencies(MqttProbe &probe, const QList<int> &boards, int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        const int board = boards.at(i % boards.size());
        const int relay = (i / boards.size()) % 16 + 1;
        const bool on = ((i / boards.size()) / 16) % 2 == 0;
        const QString topic = QStringLiteral("usb16relay/com%1/relay/%2").arg(board).arg(relay);
        probe.clear();
        const auto sent = std::chrono::steady_clock::now();
        if (!probe.publishLater(topic + QStringLiteral("/set"), on ? "ON" : "OFF"))
            return {};
        const auto got = probe.waitFor(topic, on ? "ON" : "OFF", kWait);
        if (!got)
            return {};
        samples.push_back(msBetween(sent, got->at));
    }
    return samples;
}

qint64 statusField(qint64 pid, const QByteArray &field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double cpuMsOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble(); // utime, stime
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    Measure::info("qt", qVersion());
    int faults = 0;

    LocalBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_daemon: %s\n", qPrintable(broker.errorString()));
        return 1;
    }

    {
        // One board: command latency, a burst, idle cost, the broker restarted.
        Rig rig;
        MqttProbe probe;
        if (!rig.valid() || !rig.startBoard(1) || !probe.connectTo(broker.port()) ||
            !probe.subscribe(QStringLiteral("usb16relay/#")) ||
            !rig.startService(boardSection(1), broker.port()) ||
            !probe.waitFor(QStringLiteral("usb16relay/com1/availability"), "online", kWait)) {
            std::fprintf(stderr, "bench_daemon: the service did not come up\n");
            return 1;
        }
        const std::vector<double> latency = commandLatencies(probe, {1}, runs);
        faults += latency.empty();
        Measure::figure("daemon.command", "ms", "Publish ON/OFF to the relay's state published",
                        latency);
        // "ask//" before, the switching command, "ask//" and two status bytes after each way.
        Measure::figure("daemon.wire", "ms", "Wire time at 9600 baud 8N1 (19 bytes), the floor",
                        {19 * kBitsPerByte / kBaud * 1000.0});

        // 1,000 commands over sixteen relays at once; the final state must be exact.
        quint16 expected = 0x0000;
        for (const auto &message : probe.on(QStringLiteral("usb16relay/com1/state")))
            expected = quint16(maskOf(message.payload).toUInt(nullptr, 16));
        probe.clear();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            const int relay = i % 16 + 1;
            const bool on = (i * 7 + i / 16) % 3 != 0;
            expected = RelayMask(expected).with(relay, on).bits();
            probe.publishLater(QStringLiteral("usb16relay/com1/relay/%1/set").arg(relay),
                               on ? "ON" : "OFF");
        }
        const QString wanted =
            QStringLiteral("%1").arg(expected, 4, 16, QLatin1Char('0')).toUpper();
        // The last state published, once nothing more comes for two seconds.
        QList<MqttProbe::Message> states;
        std::chrono::steady_clock::time_point lastChange = std::chrono::steady_clock::now();
        qsizetype seen = 0;
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            states = probe.on(QStringLiteral("usb16relay/com1/state"));
            if (states.size() != seen) {
                seen = states.size();
                lastChange = std::chrono::steady_clock::now();
            } else if (seen > 0 && std::chrono::steady_clock::now() - lastChange > 2s) {
                break;
            }
            QTest::qWait(20);
        }
        const bool exact = !states.isEmpty() && maskOf(states.constLast().payload) == wanted &&
                           probe.on(QStringLiteral("usb16relay/com1/error")).isEmpty();
        faults += !exact;
        Measure::figure("daemon.burst", "s", "1,000 commands over 16 relays to the final state",
                        {states.isEmpty() ? -1 : msBetween(start, states.constLast().at) / 1000.0});
        Measure::figure("daemon.burst.wrong", "count", "Bursts that did not end in the exact state",
                        {exact ? 0.0 : 1.0});

        // Idle, polled every second.
        QTest::qWait(2000);
        const double cpuBefore = cpuMsOf(rig.servicePid());
        const auto idleStart = std::chrono::steady_clock::now();
        QTest::qWait(20000);
        const double cpuShare = (cpuMsOf(rig.servicePid()) - cpuBefore) /
                                msBetween(idleStart, std::chrono::steady_clock::now()) * 100.0;
        Measure::figure("daemon.idle.cpu", "% of a core", "Idle, one board polled every second",
                        {cpuShare});
        Measure::figure("daemon.idle.rss", "MB", "Resident size, idle",
                        {double(statusField(rig.servicePid(), "VmRSS")) / 1024.0});

        // The broker restarted: from its return to the state published again.
        std::vector<double> restarts;
        for (int i = 0; i < 5; ++i) {
            MqttProbe watcher;
            broker.kill();
            QTest::qWait(500);
            if (!broker.restart())
                break;
            const auto back = std::chrono::steady_clock::now();
            if (!watcher.connectTo(broker.port()) ||
                !watcher.subscribe(QStringLiteral("usb16relay/com1/state")))
                break;
            const auto state = watcher.waitFor(QStringLiteral("usb16relay/com1/state"), {}, kWait);
            if (!state)
                break;
            restarts.push_back(msBetween(back, state->at) / 1000.0);
            QTest::qWait(1000);
        }
        faults += restarts.size() != 5;
        Measure::figure("daemon.restart", "s", "Broker back to the state published again",
                        restarts);
    }

    {
        // Eight boards, one silent: latency on the seven others.
        Rig rig;
        MqttProbe probe;
        QByteArray boards;
        bool started = rig.valid();
        for (int port = 1; port <= 8; ++port) {
            started =
                started && rig.startBoard(port, port == 8 ? QStringList{QStringLiteral("--silent")}
                                                          : QStringList{});
            boards += boardSection(port);
        }
        if (!started || !probe.connectTo(broker.port()) ||
            !probe.subscribe(QStringLiteral("usb16relay/#")) ||
            !rig.startService(boards, broker.port()) ||
            !probe.waitFor(QStringLiteral("usb16relay/com7/availability"), "online", kWait)) {
            std::fprintf(stderr, "bench_daemon: eight boards did not come up\n");
            return 1;
        }
        const std::vector<double> latency = commandLatencies(probe, {1, 2, 3, 4, 5, 6, 7}, runs);
        faults += latency.empty();
        Measure::figure("daemon.eight", "ms", "Same, seven boards beside a silent eighth", latency);
    }
    {
        // One board behind a 9600-baud wire and a USB adapter's 16 ms latency timer.
        Rig rig;
        MqttProbe probe;
        if (!rig.valid() ||
            !rig.startBoard(1, {QStringLiteral("--baud"), QStringLiteral("9600"),
                                QStringLiteral("--latency"), QStringLiteral("16")}) ||
            !probe.connectTo(broker.port()) || !probe.subscribe(QStringLiteral("usb16relay/#")) ||
            !rig.startService(boardSection(1), broker.port()) ||
            !probe.waitFor(QStringLiteral("usb16relay/com1/availability"), "online", kWait)) {
            std::fprintf(stderr, "bench_daemon: the service did not come up at 9600 baud\n");
            return 1;
        }
        const std::vector<double> latency = commandLatencies(probe, {1}, std::max(10, runs / 4));
        faults += latency.empty();
        Measure::figure("daemon.line.command", "ms",
                        "Same, at 9600 baud with a 16 ms adapter latency", latency);
        // Two reads (the state before, the verification), each ask// twice and two answers,
        // and the switching command: 33 bytes.
        Measure::figure("daemon.line.wire", "ms", "Wire time of those 33 bytes, the floor",
                        {33 * kBitsPerByte / kBaud * 1000.0});
    }
    Measure::figure("daemon.faults", "count", "Runs that failed", {double(faults)});
    return faults == 0 ? 0 : 1;
}
