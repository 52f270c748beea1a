#pragma once

#include <QtGlobal>

#include <chrono>

// Everything the HTTP transport allows one client, and all of them together, in one place.
struct HttpLimits
{
    int maxConnections = 512; // held open: idle, being read, waiting for an answer or streaming
    int maxPerAddress = 384;  // of those, from one address (an IPv6 one by its /64); this
                              // machine's own clients share one address and are exempt
    int maxStreams = 256;     // of those, endless answers (event streams)
    qsizetype maxHead = 8192; // request line and headers
    qsizetype maxBody = 4096;
    // What one connection may have waiting to be sent beyond its socket's buffer; past it, the
    // client is not reading and is dropped.
    qsizetype maxUnsent = 256 * 1024;
    // A stream's socket buffer, kept small so that a client that stops reading shows within
    // moments instead of after megabytes.
    int streamSendBuffer = 16 * 1024;
    std::chrono::milliseconds headDeadline{5000}; // from the first byte to the blank line
    std::chrono::milliseconds bodyDeadline{5000};
    std::chrono::milliseconds idleDeadline{5000};    // between requests on one connection
    std::chrono::milliseconds writeDeadline{5000};   // bytes waiting that the client never takes
    std::chrono::milliseconds answerDeadline{60000}; // a request its handler has not answered
    std::chrono::milliseconds streamKeepAlive{5000}; // an idle stream sends its keep-alive bytes
};
