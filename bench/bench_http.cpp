// Measurements, not pass/fail: usb16relayd's HTTP front against a usb16relay-sim process on a
// pty, through plain blocking sockets on loopback (one thread per client), with a mosquitto of
// its own for the MQTT-to-event-stream figure.
// Run: build/bench/bench_http [requests-per-client]

#include "localbroker.h"
#include "measure.h"
#include "mqttprobe.h"
#include "relaymask.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWait = 20000;
constexpr int kClients = 50;

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One keep-alive HTTP/1.1 connection, read and written blocking.
class Connection
{
public:
    explicit Connection(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        timeval timeout{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Connection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool send(const std::string &request) const
    {
        return m_fd >= 0 && ::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                                ssize_t(request.size());
    }
    // The status of the next response, its body read whole; 0 when the connection failed.
    int response(std::string *body = nullptr)
    {
        size_t end;
        while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!fill())
                return 0;
        }
        const std::string head = m_buffer.substr(0, end);
        const size_t lengthAt = head.find("Content-Length: ");
        const size_t length =
            lengthAt == std::string::npos ? 0 : std::stoul(head.substr(lengthAt + 16));
        while (m_buffer.size() < end + 4 + length) {
            if (!fill())
                return 0;
        }
        if (body)
            *body = m_buffer.substr(end + 4, length);
        m_buffer.erase(0, end + 4 + length);
        return head.size() > 12 ? std::stoi(head.substr(9, 3)) : 0;
    }
    // Reads on until `pattern` arrives (an event stream); false when the connection failed or
    // it did not come within kWait.
    bool waitFor(const std::string &pattern, int ms = kWait)
    {
        const QDeadlineTimer deadline(ms);
        size_t at;
        while ((at = m_buffer.find(pattern)) == std::string::npos) {
            if (deadline.hasExpired() || !fill())
                return false;
        }
        m_buffer.erase(0, at + pattern.size());
        return true;
    }

    std::string buffered() const { return m_buffer; }

private:
    bool fill()
    {
        char chunk[16384];
        const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, size_t(n));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
};

std::string request(const char *method, const std::string &path, const std::string &body = {})
{
    return std::string(method) + " " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int perClient = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    Measure::info("qt", qVersion());

    LocalBroker broker;
    QTemporaryDir dir;
    if (!dir.isValid() || !broker.start()) {
        std::fprintf(stderr, "bench_http: %s\n", qPrintable(broker.errorString()));
        return 1;
    }
    const QString link = dir.filePath(QStringLiteral("board"));
    QProcess sim;
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH),
              {QStringLiteral("--link"), link, QStringLiteral("--quiet")});
    const QDeadlineTimer simDeadline(5000);
    while (!QFile::exists(link) && !simDeadline.hasExpired())
        QThread::msleep(10);
    const int port = LocalBroker::freePort();
    const QString config = dir.filePath(QStringLiteral("service.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write("[mqtt]\nurl = " + broker.url().toUtf8() +
               "\n[http]\nlisten = 127.0.0.1:" + QByteArray::number(port) +
               "\n[com1]\ndevice = " + link.toUtf8() + "\npoll_interval = 1000\n");
    file.close();
    QProcess service;
    service.setStandardErrorFile(dir.filePath(QStringLiteral("service.log")));
    service.start(QStringLiteral(USB16RELAYD_PATH), {QStringLiteral("--config"), config});
    const QDeadlineTimer deadline(kWait);
    bool online = false;
    while (!online && !deadline.hasExpired()) {
        Connection probe(port);
        std::string body;
        online = probe.send(request("GET", "/api/v1/boards/com1")) &&
                 probe.response(&body) == 200 && body.find("\"online\":true") != std::string::npos;
        if (!online)
            QThread::msleep(50);
    }
    if (!online) {
        std::fprintf(stderr, "bench_http: the service did not serve com1\n");
        return 1;
    }
    int faults = 0;

    // GET with 50 clients at once, each on its own keep-alive connection.
    {
        std::vector<std::vector<double>> perThread(kClients);
        std::atomic<int> failed{0};
        std::vector<std::thread> clients;
        // Timed once every client has connected.
        std::atomic<int> connected{0};
        std::atomic<bool> go{false};
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                Connection connection(port);
                ++connected;
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < perClient; ++i) {
                    const auto sent = Clock::now();
                    if (!connection.send(request("GET", "/api/v1/boards/com1")) ||
                        connection.response() != 200) {
                        ++failed;
                        return;
                    }
                    perThread[size_t(c)].push_back(msBetween(sent, Clock::now()));
                }
            });
        }
        const QDeadlineTimer allConnected(kWait);
        while (connected.load() < kClients && !allConnected.hasExpired())
            QThread::msleep(1);
        const auto start = Clock::now();
        go = true;
        for (std::thread &client : clients)
            client.join();
        const double seconds = msBetween(start, Clock::now()) / 1000.0;
        std::vector<double> all;
        for (const auto &samples : perThread)
            all.insert(all.end(), samples.begin(), samples.end());
        faults += failed.load();
        Measure::figure("http.get", "ms", "GET /api/v1/boards/com1, 50 clients at once", all);
        Measure::figure("http.get.rate", "req/s", "GET /api/v1/boards/com1, requests per second",
                        {double(all.size()) / seconds});
    }

    // A fresh GET while 80 clients trickle their headers, one byte a second each: those that the
    // service ends at its deadline come back at once, as an attacker's would.
    {
        constexpr int kSlow = 80;
        std::atomic<bool> done{false};
        std::atomic<int> opened{0};
        std::thread trickler([&] {
            std::vector<std::unique_ptr<Connection>> slow;
            const std::string head = "GET /api/v1/boards/com1 HTTP/1.1\r\nHost: 127.0.0.1\r\n";
            while (!done.load()) {
                for (auto &connection : slow) {
                    if (!connection->send("X"))
                        connection.reset();
                }
                slow.erase(std::remove(slow.begin(), slow.end(), nullptr), slow.end());
                while (int(slow.size()) < kSlow) {
                    slow.push_back(std::make_unique<Connection>(port));
                    ++opened;
                    slow.back()->send(head + "X-Slow: ");
                }
                for (int i = 0; i < 10 && !done.load(); ++i)
                    QThread::msleep(100);
            }
        });
        while (opened.load() < kSlow)
            QThread::msleep(10);
        QThread::msleep(1500);
        std::vector<double> samples;
        for (int i = 0; i < 100; ++i) {
            const auto sent = Clock::now();
            Connection fresh(port);
            if (!fresh.send(request("GET", "/api/v1/boards/com1")) || fresh.response() != 200) {
                ++faults;
                continue;
            }
            samples.push_back(msBetween(sent, Clock::now()));
            QThread::msleep(80);
        }
        done = true;
        trickler.join();
        Measure::figure("http.get-beside-slow", "ms",
                        "Fresh GET (new connection) while 80 clients trickle their headers",
                        samples);
    }

    // PUT relay on or off, one after another, each answered after the board was read back.
    {
        Connection connection(port);
        std::vector<double> samples;
        for (int i = 0; i < 200; ++i) {
            const int relay = i % 16 + 1;
            const bool on = (i / 16) % 2 == 0;
            const auto sent = Clock::now();
            if (!connection.send(request("PUT",
                                         "/api/v1/boards/com1/relays/" + std::to_string(relay),
                                         on ? "{\"on\":true}" : "{\"on\":false}")) ||
                connection.response() != 200) {
                ++faults;
                break;
            }
            samples.push_back(msBetween(sent, Clock::now()));
        }
        Measure::figure("http.put", "ms", "PUT relay on/off to 200 with the state read back",
                        samples);
    }

    // MQTT command to the event stream a page follows.
    {
        MqttProbe probe;
        Connection stream(port);
        std::vector<double> samples;
        Connection reset(port);
        if (!reset.send(request("PUT", "/api/v1/boards/com1", "{\"mask\":\"0000\"}")) ||
            reset.response() != 200 || !probe.connectTo(broker.port()) ||
            !stream.send(request("GET", "/api/v1/events")) ||
            !stream.waitFor("\"mask\":\"0000\"")) {
            ++faults;
        } else {
            quint16 state = 0;
            int lost = 0;
            for (int i = 0; i < 100; ++i) {
                const int relay = i % 16 + 1;
                state ^= RelayMask::relay(relay).bits();
                const std::string mask =
                    "\"mask\":\"" + RelayMask(state).toHex().toStdString() + "\"";
                QThread::msleep(20); // one command at a time, as a person clicking
                const auto sent = Clock::now();
                if (!probe.publishLater(QStringLiteral("usb16relay/com1/relay/%1/set").arg(relay),
                                        RelayMask(state).isOn(relay) ? "ON" : "OFF")) {
                    ++faults;
                    break;
                }
                if (stream.waitFor(mask, 3000)) {
                    samples.push_back(msBetween(sent, Clock::now()));
                    continue;
                }
                // Not on the stream: take the board's state as it is and go on.
                ++lost;
                std::string body;
                Connection get(port);
                if (!get.send(request("GET", "/api/v1/boards/com1")) ||
                    get.response(&body) != 200) {
                    ++faults;
                    break;
                }
                const size_t at = body.find("\"mask\":\"");
                state = quint16(std::stoul(body.substr(at + 8, 4), nullptr, 16));
            }
            if (lost > 0) {
                dir.setAutoRemove(false);
                std::fprintf(stderr,
                             "bench_http: %d MQTT commands lost; the service's log is in %s\n",
                             lost, qPrintable(dir.filePath(QStringLiteral("service.log"))));
                std::fprintf(stderr, "bench_http: the broker said, last:\n%s\n",
                             broker.log().right(4000).constData());
            }
            Measure::figure("http.mqtt-lost", "count",
                            "MQTT commands whose state never came on the stream within 3 s",
                            {double(lost)});
        }
        Measure::figure("http.mqtt-to-stream", "ms",
                        "MQTT ON/OFF to the new state on the event stream", samples);
    }
    Measure::figure("http.faults", "count", "Requests failed or unanswered", {double(faults)});

    service.terminate();
    service.waitForFinished(10000);
    sim.terminate();
    sim.waitForFinished(5000);
    return faults == 0 ? 0 : 1;
}
