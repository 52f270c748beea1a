#pragma once

#include "httptransport.h"

#include <QHash>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>

// The transport's insides, shared by its two halves: httptransport.cpp reads connections and
// requests, httpwriting.cpp writes answers and streams and ends connections.

using Clock = std::chrono::steady_clock;

struct HttpResponder::Exchange
{
    std::atomic<bool> answered{false};
    std::function<void(HttpResponse, std::shared_ptr<HttpStream>)> deliver;
    std::function<std::shared_ptr<HttpStream>()> makeStream;
};

struct HttpTransport::Private : std::enable_shared_from_this<HttpTransport::Private>
{
    enum class State { Idle, Head, Body, Waiting, Writing, Streaming, Draining };

    struct Connection
    {
        quint64 id = 0;
        int fd = -1;
        QByteArray peer;
        QString who; // for the requests' record of who asked
        bool local = false;
        bool refused = false; // refused at the door: not counted among the connections held
        State state = State::Idle;
        Clock::time_point deadline;
        QByteArray in;
        qsizetype headLength = 0;
        qsizetype bodyLength = 0;
        bool chunkedBody = false;
        bool closeAfter = false;
        HttpRequest request;
        HttpResponse admitted; // headers the admission set, for the answer
        quint64 exchange = 0;  // the request now being answered
        QByteArray out;
        Clock::time_point progress; // when the client last took bytes
        std::shared_ptr<HttpStream> stream;
        bool chunked = false;
        QByteArray keepAlive;
        Clock::time_point lastSent;
    };
    using Link = std::shared_ptr<Connection>;

    struct Completion
    {
        quint64 connection = 0;
        quint64 exchange = 0;
        HttpResponse response;
        std::shared_ptr<HttpStream> stream;
    };

    HttpLimits limits;
    Refusal refusal;
    Admit admit;
    Handle handle;
    Failed failed;
    int listener = -1;
    int wake[2] = {-1, -1};    // answers and stream bytes are waiting
    int stopped[2] = {-1, -1}; // readable once stopping
    std::thread reader;
    std::atomic<bool> stopping{false};

    // The reading thread's own.
    std::map<quint64, Link> connections;
    quint64 nextId = 1;
    QHash<QByteArray, int> perAddress;
    int held = 0;
    int draining = 0;
    int streams = 0;
    Clock::time_point acceptAgain;

    std::mutex mutex; // guards `completed`
    std::deque<Completion> completed;

    ~Private();
    void run();
    void wakeUp();
    void acceptAll();
    void readFrom(const Link &connection);
    void advance(const Link &connection);
    bool readHead(Connection &c, const Link &connection);
    void dispatch(const Link &connection);
    void applyCompletions();
    void respond(const Link &connection, HttpResponse response);
    void startStream(const Link &connection, HttpResponse head,
                     const std::shared_ptr<HttpStream> &stream);
    void pumpStreams();
    void flush(const Link &connection);
    void answered(const Link &connection);
    void refuse(const Link &connection, int status, const QString &message);
    void refuseWith(const Link &connection, const HttpResponse &response);
    void expire();
    Clock::time_point nextTime(const Connection &c) const;
    void close(const Link &connection);
    void finish();
};
