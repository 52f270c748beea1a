#pragma once

#include "boardhub.h"
#include "options.h"
#include "servicenotifier.h"
#include "signalwatcher.h"

#include <QObject>

#include <memory>

class HttpServer;
class LocalSocket;
class MqttBridge;
class MqttConnection;

// The whole service: the board hub, the broker connection, the fronts, the Unix socket, the
// signals and systemd's notifications. Starting, reloading and stopping happen here, in order.
class Service final : public QObject
{
    Q_OBJECT

public:
    // `socket` holds the listening socket systemd handed over, if any.
    Service(Options options, std::unique_ptr<LocalSocket> socket, QObject *parent = nullptr);
    ~Service() override;

    // Serves until a signal (or a front's failure) ends it; the exit status.
    int run();

private:
    bool start();
    bool reload();
    int stop(int status);
    bool connectBroker(const Config &config, QString *error);
    bool openSocket(QString *error);
    bool startFronts(QString *error);
    void stopFronts();
    void logServing() const;

    Options m_options;
    std::unique_ptr<LocalSocket> m_socket;
    SignalWatcher m_signals;
    ServiceNotifier m_notifier;
    BoardHub m_hub;
    std::unique_ptr<MqttConnection> m_connection;
    std::unique_ptr<MqttBridge> m_bridge;
    std::unique_ptr<HttpServer> m_http;
    // What ended the event loop: a signal, or kFrontFailed.
    int m_caught = 0;
};
