#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>

class ServiceCall;

// One board of usb16relayd's, used through the service's socket: the state the service last
// read, followed live, and requests to the service's owner of the board (its queue, its checks,
// its interlocks), sent one at a time in the order they were made.
class ServiceBoard final : public QObject
{
    Q_OBJECT

public:
    // The service answers every request within its own bound (60 s), queue and all.
    static constexpr std::chrono::milliseconds kAnswerBound{70000};
    // The service's event stream asks its clients to come back after this long.
    static constexpr std::chrono::milliseconds kFollowAgain{1000};

    // `view`: the board as the service listed it, its id among them.
    ServiceBoard(const QString &socket, const QJsonObject &view, QObject *parent = nullptr);
    ~ServiceBoard() override;

    QString id() const { return m_id; }
    QString socket() const { return m_socket; }
    // The board as the service last described it.
    const QJsonObject &view() const { return m_view; }

    // Starts following the board; false, with errorString(), when the socket cannot be used.
    bool follow();
    QString errorString() const { return m_error; }

    // What has been asked and not answered: the request under way first (sent, so the service may
    // still carry it out), then those waiting their turn (not sent).
    QString underWay() const { return m_current ? m_currentWhat : QString(); }
    QStringList waiting() const;

    void switchRelay(int relay, bool on);
    void switchAll(bool on);
    // Asks the board itself, in turn with the switching requests.
    void read();

signals:
    // A description of the board newer than any before: by the live stream or an answer.
    void viewChanged(const QJsonObject &view);
    // The service would not do it; `reason` in its own words.
    void refused(const QString &what, const QString &reason);
    // No answer: when `sent`, the request may or may not have been carried out.
    void unanswered(const QString &what, const QString &reason, bool sent);
    // Something the service reports about the board that no request of ours asked for.
    void serviceError(const QString &message);
    // The live state stopped coming and could not be had again.
    void followEnded(const QString &reason);

private:
    struct Request
    {
        QByteArray method;
        QString path;
        QByteArray body;
        QString what;
    };

    void submit(Request request);
    void sendNext();
    void take(const QJsonObject &view);
    void handleEvent(const QByteArray &name, const QJsonObject &data);
    QString boardPath() const;

    QString m_socket;
    QString m_id;
    QString m_error;
    QJsonObject m_view;
    qint64 m_seq = -1;
    std::deque<Request> m_waiting;
    ServiceCall *m_current = nullptr;
    QString m_currentWhat;
    ServiceCall *m_events = nullptr;
    // Events the stream brought since it was (re)started: one that ended without any is not
    // started again.
    int m_eventsSeen = 0;
};
