#pragma once

#include "config.h"

#include <QObject>

#include <memory>

class BoardHub;

// The HTTP front: the JSON API, the live event stream and the page, beside MQTT on the same
// boards. Its transport reads and writes every connection on a thread of its own; requests go
// to the hub, whose answer, whenever it comes, carries the snapshot the reply shows. It never
// touches a board or a port.
class HttpServer final : public QObject
{
    Q_OBJECT

public:
    HttpServer(const HttpConfig &config, BoardHub *hub, QObject *parent = nullptr);
    ~HttpServer() override;

    // Also (or only, with `tcp` false) on a listening Unix socket, before start(). Its users are
    // those the socket's permissions let in: no token is asked of them.
    void serveLocal(int listener, bool tcp);
    // Reads the token file, binds the address and starts the transport; false with a message
    // for the log otherwise.
    bool start(QString *error);
    // Ends the event streams, sends the answers already given and closes every connection.
    void stop();
    QString url() const;

signals:
    // A transport ended on a fault: nothing is served on it any more. From its own thread.
    void failed(const QString &reason);

private:
    struct Private;
    // Shared with the boards' threads, which may still be handing over a snapshot as this goes.
    std::shared_ptr<Private> d;
};
