#include "serviceboard.h"

#include "servicecall.h"

#include <QTimer>

ServiceBoard::ServiceBoard(const QString &socket, const QJsonObject &view, QObject *parent)
    : QObject(parent), m_socket(socket), m_id(view.value(QLatin1String("id")).toString())
{
    take(view);
}

ServiceBoard::~ServiceBoard() = default;

QString ServiceBoard::boardPath() const
{
    return QStringLiteral("/api/v1/boards/%1").arg(m_id);
}

bool ServiceBoard::follow()
{
    delete m_events;
    m_events = new ServiceCall(m_socket, this);
    connect(m_events, &ServiceCall::eventReceived, this, &ServiceBoard::handleEvent);
    connect(m_events, &ServiceCall::finished, this, [this] {
        ServiceCall *ended = m_events;
        m_events = nullptr;
        ended->deleteLater();
        const QString why = ended->answer() ? ended->answer()->error() : ended->errorString();
        if (m_eventsSeen == 0) {
            emit followEnded(why);
            return;
        }
        // As the stream's "retry" asks: a service restarting, or one that found this client slow,
        // is followed again.
        QTimer::singleShot(kFollowAgain, this, [this, why] {
            if (!m_events && !follow())
                emit followEnded(QStringLiteral("%1; then %2").arg(why, m_error));
        });
    });
    m_eventsSeen = 0;
    if (m_events->startStream(QStringLiteral("/api/v1/events")))
        return true;
    m_error = m_events->errorString();
    delete m_events;
    m_events = nullptr;
    return false;
}

QStringList ServiceBoard::waiting() const
{
    QStringList all;
    for (const Request &request : m_waiting)
        all.append(request.what);
    return all;
}

void ServiceBoard::switchRelay(int relay, bool on)
{
    submit({"PUT", QStringLiteral("%1/relays/%2").arg(boardPath()).arg(relay),
            on ? QByteArray("{\"on\":true}") : QByteArray("{\"on\":false}"),
            QStringLiteral("switch relay %1 %2")
                .arg(relay)
                .arg(on ? QStringLiteral("on") : QStringLiteral("off"))});
}

void ServiceBoard::switchAll(bool on)
{
    submit({"PUT", boardPath(), on ? QByteArray("{\"mask\":\"FFFF\"}") : "{\"mask\":\"0000\"}",
            on ? QStringLiteral("switch all relays on") : QStringLiteral("switch all relays off")});
}

void ServiceBoard::read()
{
    submit({"POST", boardPath() + QStringLiteral("/read"), {}, QStringLiteral("read the relays")});
}

void ServiceBoard::submit(Request request)
{
    m_waiting.push_back(std::move(request));
    if (!m_current)
        sendNext();
}

void ServiceBoard::sendNext()
{
    while (!m_current && !m_waiting.empty()) {
        const Request request = m_waiting.front();
        m_waiting.pop_front();
        auto *call = new ServiceCall(m_socket, this);
        if (!call->start(request.method, request.path, request.body, kAnswerBound)) {
            const QString reason = call->errorString();
            delete call;
            emit unanswered(request.what, reason, false);
            continue;
        }
        m_current = call;
        m_currentWhat = request.what;
        connect(call, &ServiceCall::finished, this, [this, call, what = request.what] {
            m_current = nullptr;
            call->deleteLater();
            const auto &answer = call->answer();
            if (!answer)
                emit unanswered(what, call->errorString(), true);
            else if (answer->status != 200)
                emit refused(what, answer->error());
            else
                take(answer->json());
            sendNext();
        });
    }
}

// Answers and events may cross: only a description newer than the one shown is taken.
void ServiceBoard::take(const QJsonObject &view)
{
    const qint64 seq = view.value(QLatin1String("seq")).toInteger(-1);
    if (view.value(QLatin1String("id")).toString() != m_id || seq < m_seq)
        return;
    m_seq = seq;
    m_view = view;
    emit viewChanged(m_view);
}

void ServiceBoard::handleEvent(const QByteArray &name, const QJsonObject &data)
{
    ++m_eventsSeen;
    if (name == "board")
        take(data);
    else if (name == "error" && data.value(QLatin1String("id")).toString() == m_id)
        emit serviceError(data.value(QLatin1String("error")).toString());
}
