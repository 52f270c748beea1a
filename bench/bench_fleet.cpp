// Measurements, not pass/fail: a fleet of usb16relayd services on one mosquitto of its own on
// loopback, each with its own service id and boards, every board a usb16relay-sim process at
// 9600 baud with a 16 ms latency timer, as a USB adapter has.
// Run: build/bench/bench_fleet [services] [boards-per-service] [commands-per-client]

#include "localbroker.h"
#include "measure.h"
#include "mqttprobe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWait = 120000;
constexpr int kClients = 3;
constexpr int kIdleMs = 10000;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

QString boardId(int service, int board)
{
    return QStringLiteral("s%1b%2").arg(service).arg(board);
}

// The processor time a process has used, in clock ticks, and its resident size in KiB.
qint64 cpuTicks(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = file.readAll().split(')').last().split(' ');
    return fields.size() > 13 ? fields.at(12).toLongLong() + fields.at(13).toLongLong() : 0;
}

qint64 residentKiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

class Fleet
{
public:
    Fleet(int services, int boards) : m_services(services), m_boards(boards) {}
    ~Fleet()
    {
        for (auto *processes : {&m_daemons, &m_sims}) {
            for (const auto &process : *processes)
                process->terminate();
            for (const auto &process : *processes) {
                if (!process->waitForFinished(5000))
                    process->kill();
            }
        }
    }

    bool startBoards()
    {
        for (int s = 0; s < m_services; ++s) {
            for (int b = 0; b < m_boards; ++b) {
                auto sim = std::make_unique<QProcess>();
                sim->start(QStringLiteral(USB16RELAY_SIM_PATH),
                           {QStringLiteral("--link"), path(s, b), QStringLiteral("--baud"),
                            QStringLiteral("9600"), QStringLiteral("--latency"),
                            QStringLiteral("16"), QStringLiteral("--quiet")});
                m_sims.push_back(std::move(sim));
            }
        }
        const QDeadlineTimer deadline(kWait);
        for (int s = 0; s < m_services; ++s) {
            for (int b = 0; b < m_boards; ++b) {
                while (!QFile::exists(path(s, b)) && !deadline.hasExpired())
                    QThread::msleep(10);
                if (!QFile::exists(path(s, b)))
                    return false;
            }
        }
        return true;
    }

    void startServices(int brokerPort)
    {
        for (int s = 0; s < m_services; ++s) {
            QByteArray config = "[mqtt]\nurl = mqtt://127.0.0.1:" + QByteArray::number(brokerPort) +
                                "\n[service]\nid = fleet" + QByteArray::number(s) + "\n";
            for (int b = 0; b < m_boards; ++b)
                config +=
                    "[" + boardId(s, b).toUtf8() + "]\ndevice = " + path(s, b).toUtf8() + "\n";
            const QString file = m_dir.filePath(QStringLiteral("fleet%1.conf").arg(s));
            QFile out(file);
            if (out.open(QIODevice::WriteOnly))
                out.write(config);
            out.close();
            auto service = std::make_unique<QProcess>();
            service->setStandardErrorFile(m_dir.filePath(QStringLiteral("fleet%1.log").arg(s)));
            service->start(QStringLiteral(USB16RELAYD_PATH), {QStringLiteral("--config"), file});
            m_daemons.push_back(std::move(service));
        }
    }

    QProcess &service(int s) { return *m_daemons.at(size_t(s)); }
    int services() const { return m_services; }
    int boards() const { return m_boards; }

private:
    QString path(int s, int b) const { return m_dir.filePath(boardId(s, b)); }

    int m_services;
    int m_boards;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_sims;
    std::vector<std::unique_ptr<QProcess>> m_daemons;
};

// Every board online and its sixteen discovery configs there, counted on one probe.
bool waitAllPublished(MqttProbe &probe, const Fleet &fleet)
{
    const int boards = fleet.services() * fleet.boards();
    return MqttProbe::waitUntil(
        [&] {
            std::set<QString> online;
            int configs = 0;
            for (const auto &message : probe.messages()) {
                if (message.topic.endsWith(u"/availability") && message.payload == "online")
                    online.insert(message.topic);
                else if (message.topic.startsWith(u"homeassistant/") &&
                         message.topic.endsWith(u"/config") && !message.payload.isEmpty())
                    ++configs;
            }
            return int(online.size()) == boards && configs >= boards * 16;
        },
        kWait);
}

// ON then OFF on random relays of random boards from several clients at once: publish to the
// new state on the board's state topic, as Home Assistant would see it.
std::vector<double> commandLatencies(int brokerPort, const Fleet &fleet, int perClient)
{
    std::vector<double> all;
    std::vector<std::unique_ptr<MqttProbe>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<MqttProbe>());
        if (!clients.back()->connectTo(brokerPort) ||
            !clients.back()->subscribe(QStringLiteral("usb16relay/+/state")))
            return {};
    }
    struct Pending
    {
        QString board;
        int relay = 0;
        bool on = false;
        Clock::time_point sent;
    };
    std::vector<std::optional<Pending>> pending(kClients);
    std::vector<int> done(kClients, 0);
    QRandomGenerator random(12345);
    const QDeadlineTimer deadline(kWait);
    // Each client has services of its own, so that their commands never undo each other's.
    const int perClientServices = std::max(1, fleet.services() / kClients);
    const auto send = [&](int c) {
        Pending next;
        const int service =
            (c + kClients * int(random.bounded(perClientServices))) % fleet.services();
        next.board = boardId(service, int(random.bounded(fleet.boards())));
        next.relay = 1 + int(random.bounded(16));
        next.on = true;
        clients[size_t(c)]->clear();
        next.sent = Clock::now();
        clients[size_t(c)]->publishLater(
            QStringLiteral("usb16relay/%1/relay/%2/set").arg(next.board).arg(next.relay), "ON");
        pending[size_t(c)] = next;
    };
    for (int c = 0; c < kClients; ++c)
        send(c);
    while (!deadline.hasExpired() &&
           std::any_of(done.begin(), done.end(), [perClient](int n) { return n < perClient; })) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        for (int c = 0; c < kClients; ++c) {
            if (!pending[size_t(c)])
                continue;
            const Pending &p = *pending[size_t(c)];
            for (const auto &message : clients[size_t(c)]->messages()) {
                if (message.topic != QStringLiteral("usb16relay/%1/state").arg(p.board))
                    continue;
                const QJsonArray relays =
                    QJsonDocument::fromJson(message.payload).object().value(u"relays").toArray();
                if (relays.at(p.relay - 1).toBool() != p.on)
                    continue;
                all.push_back(
                    std::chrono::duration<double, std::milli>(message.at - p.sent).count());
                // And back off, unmeasured, so that the next ON changes something.
                clients[size_t(c)]->publishLater(
                    QStringLiteral("usb16relay/%1/relay/%2/set").arg(p.board).arg(p.relay), "OFF");
                pending[size_t(c)].reset();
                if (++done[size_t(c)] < perClient) {
                    QThread::msleep(150);
                    send(c);
                }
                break;
            }
        }
    }
    return all;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int services = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int boards = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int commands = argc > 3 ? std::max(1, std::atoi(argv[3])) : 40;
    Measure::info("qt", qVersion());

    LocalBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(broker.errorString()));
        return 1;
    }
    Fleet fleet(services, boards);
    MqttProbe probe;
    if (!fleet.startBoards() || !probe.connectTo(broker.port()) ||
        !probe.subscribe(QStringLiteral("#"))) {
        std::fprintf(stderr, "bench_fleet: the boards or the probe did not start\n");
        return 1;
    }
    const Clock::time_point started = Clock::now();
    fleet.startServices(broker.port());
    if (!waitAllPublished(probe, fleet)) {
        std::fprintf(stderr, "bench_fleet: not every board came online with its discovery\n");
        return 1;
    }
    Measure::figure("fleet.start", "s", "Start to every board online with its discovery retained",
                    {msSince(started) / 1000});

    // Idle: nothing changes, so nothing is published; the services' processor time meanwhile.
    QThread::msleep(2000);
    probe.clear();
    std::vector<qint64> before;
    for (int s = 0; s < services; ++s)
        before.push_back(cpuTicks(fleet.service(s).processId()));
    MqttProbe::waitUntil([] { return false; }, kIdleMs);
    double ticks = 0;
    double resident = 0;
    for (int s = 0; s < services; ++s) {
        ticks += double(cpuTicks(fleet.service(s).processId()) - before[size_t(s)]);
        resident += double(residentKiB(fleet.service(s).processId()));
    }
    const double idleCore = 100 * ticks / double(::sysconf(_SC_CLK_TCK)) / (kIdleMs / 1000.0);
    Measure::figure("fleet.idle-messages", "msg/s", "Messages per second at idle, all services",
                    {double(probe.messages().size()) / (kIdleMs / 1000.0)});
    Measure::figure("fleet.idle-cpu", "% core", "Processor at idle, all services together",
                    {idleCore});
    Measure::figure("fleet.idle-cpu-board", "% core", "Processor at idle, per board",
                    {idleCore / (services * boards)});
    Measure::figure("fleet.memory", "MB", "Resident size per service",
                    {resident / services / 1024});

    const std::vector<double> latency = commandLatencies(broker.port(), fleet, commands);
    Measure::figure("fleet.command", "ms",
                    "ON to the new state on the board's state topic, three clients at once",
                    latency);

    // Home Assistant restarts: every retained topic comes again.
    QThread::msleep(1000);
    probe.clear();
    const Clock::time_point birth = Clock::now();
    MqttProbe homeAssistant;
    if (!homeAssistant.connectTo(broker.port()) ||
        !homeAssistant.publish(QStringLiteral("homeassistant/status"), "online") ||
        !waitAllPublished(probe, fleet)) {
        std::fprintf(stderr, "bench_fleet: not everything came again after the birth message\n");
        return 1;
    }
    Measure::figure("fleet.birth", "s",
                    "Home Assistant's birth message to every retained topic again",
                    {msSince(birth) / 1000});

    // One service stops: exactly its boards go unavailable.
    probe.clear();
    fleet.service(0).terminate();
    fleet.service(0).waitForFinished(kWait);
    MqttProbe::waitUntil([] { return false; }, 3000);
    std::set<QString> offline;
    for (const auto &message : probe.messages()) {
        if (message.topic.endsWith(u"/availability") && message.payload == "offline")
            offline.insert(message.topic.section(u'/', 1, 1));
    }
    Measure::figure("fleet.stop-one", "boards", "Boards unavailable after one service stopped",
                    {double(offline.size())});
    const bool onlyItsOwn = std::all_of(offline.begin(), offline.end(),
                                        [](const QString &id) { return id.startsWith(u"s0b"); });
    Measure::info("fleet.shape", QStringLiteral("%1 services x %2 boards, %3 commands per client; "
                                                "the stopped service's boards only: %4")
                                     .arg(services)
                                     .arg(boards)
                                     .arg(commands)
                                     .arg(onlyItsOwn ? QStringLiteral("yes") : QStringLiteral("no"))
                                     .toUtf8());
    return onlyItsOwn && int(offline.size()) == boards && !latency.empty() ? 0 : 1;
}
