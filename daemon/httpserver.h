#pragma once

#include "boardrequest.h"
#include "config.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <memory>

class Board;

// The HTTP front: the JSON API, the live event stream and the page, beside MQTT on the same
// boards. It serves on threads of its own (HttpThreads: one reads every connection, one serves
// each request, at most HttpApi::kMaxClients at once) and reaches the boards only through
// Board::submit() and their signals; it never touches a port.
class HttpServer final : public QObject
{
    Q_OBJECT

public:
    HttpServer(const HttpConfig &config, const QList<Board *> &boards, QObject *parent = nullptr);
    ~HttpServer() override;

    // Also (or only, with `tcp` false) on a listening Unix socket, before start(). Its users are
    // those the socket's permissions let in: no token is asked of them.
    void serveLocal(int listener, bool tcp);
    // Reads the token file and binds the address; false with a message for the log otherwise.
    bool start(QString *error);
    // Ends the event streams, answers what still waits, and closes every connection.
    void stop();
    QString url() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
