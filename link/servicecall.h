#pragma once

#include "serviceclient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QSocketNotifier;

// One request to usb16relayd, its answer read on the event loop: ServiceClient's request for a
// program that must not stop while the service takes its turn. As a stream (the live events),
// each event is handed on as it comes, until the service ends the stream.
class ServiceCall final : public QObject
{
    Q_OBJECT

public:
    ServiceCall(const QString &socket, QObject *parent = nullptr);
    ~ServiceCall() override;

    // False, with errorString(), when the socket cannot be used: finished() then never comes.
    bool start(const QByteArray &method, const QString &path, const QByteArray &body,
               std::chrono::milliseconds bound);
    bool startStream(const QString &path);

    // After finished(): the answer, or nothing with errorString() saying why.
    const std::optional<ServiceClient::Answer> &answer() const { return m_answer; }
    QString errorString() const { return m_error.isEmpty() ? m_client.errorString() : m_error; }
    const ServiceClient &client() const { return m_client; }

signals:
    void finished();
    void eventReceived(const QByteArray &name, const QJsonObject &data);

private:
    bool open(const QByteArray &request);
    void handleReadable();
    void handleWritable();
    void takeEvents();
    void end(std::optional<ServiceClient::Answer> answer);

    ServiceClient m_client;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_writer;
    QByteArray m_out;
    QByteArray m_in;
    bool m_stream = false;
    qsizetype m_bodyAt = -1;
    std::chrono::milliseconds m_bound{0};
    QTimer m_deadline;
    std::optional<ServiceClient::Answer> m_answer;
    QString m_error;
};
