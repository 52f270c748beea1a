#pragma once

#include <QByteArray>
#include <QPointer>
#include <QTime>
#include <QWidget>

#include "relayprotocol.h"
#include "reportlog.h"
#include "serviceclient.h"

#include <array>
#include <deque>

class QJsonObject;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class PortList;
class QRadioButton;
class ReportBox;
class SerialLink;
class ServiceBoard;
class StatusIndicator;

// The one window: connection row, sixteen relay buttons with their indicators, All On/Off,
// the command console and the Off/On panel. Its handlers run on the event loop's thread; every
// wait processes events, so a click during a wait runs its handler nested in the running one.
class Usb16Relay final : public QWidget
{
    Q_OBJECT

public:
    explicit Usb16Relay(QWidget *parent = nullptr);
    ~Usb16Relay() override;

    // Runs before the window is first shown: lists the ports and connects to the first.
    void Form_Load();
    // Lets the given milliseconds pass while the window keeps processing its events.
    void Attente(int MilsecToWait);

    void ListComPorts();
    void ReadRelayStatus();

    // The last bytes read from the board.
    QByteArray receivedText() const { return ReceivedText; }

    // usb16relayd's socket, for a port the service holds.
    void setServiceSocket(const QString &socket) { m_serviceSocket = socket; }
    // The board of usb16relayd's this window works through; empty while it uses a port itself.
    QString serviceBoard() const;

public slots:
    void cboComm_Click();
    void cmdConect_Click();
    void cmdExit_Click();
    void cmdAsk_Click();
    void cmdRelay1_Click();
    void cmdRelay2_Click();
    void cmdRelay3_Click();
    void cmdRelay4_Click();
    void cmdRelay5_Click();
    void cmdRelay6_Click();
    void cmdRelay7_Click();
    void cmdRelay8_Click();
    void cmdRelay9_Click();
    void cmdRelay10_Click();
    void cmdRelay11_Click();
    void cmdRelay12_Click();
    void cmdRelay13_Click();
    void cmdRelay14_Click();
    void cmdRelay15_Click();
    void cmdRelay16_Click();
    void cmdOn_Click();
    void cmdOff_Click();
    void cmdSend_Click();
    void cmdSequential_Click();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using Handler = void (Usb16Relay::*)();
    static constexpr int kMaxNestedClicks = 32;

    void runClick(Handler handler);
    void createControls();
    void fitCaptions();
    bool captionsFit(const QFont &font) const;
    void setFocusOrder();
    void connectHandlers();
    void switchRelay(int relay);
    void sendAndRefresh(const QByteArray &command);
    // Tells the operator about a failure without stopping the handler that found it. One
    // report window at a time, listing every failure since the operator last dismissed it.
    void report(const QString &text);
    // A failure of the link, told with what the window knows: a port lost since the last
    // connection is said to be closed since then, and how to reconnect.
    void reportLinkFailure(const QString &message);
    QString silenceText(bool concludingConnection) const;
    QString earlierAnswersText(int earlier, qsizetype own) const;
    QString shortAnswerText(bool cameLate, int leftOver) const;
    // The port field's tooltip names the port open now and its device, or says none is.
    void showOpenPort();
    // "the indicators still show ..." for the end of a sentence; "The ..." to start one.
    QString indicatorsStaleText() const;
    QString indicatorsStaleSentence() const;
    void showRelayStates(const RelayState &state);
    // Back to the state the window starts in: red, and "not read yet" for screen readers.
    void forgetRelayStates();
    void describeRelayButtons();

    // A port usb16relayd holds is used through the service: true when the service holds this
    // one (and the connection through it, or why there is none, has been reported).
    bool connectThroughService(qint16 port, const QString &wasOpen);
    void leaveService();
    void showServiceView(const QJsonObject &view);
    void refuseRawText(const QString &what);
    QString serviceWhere() const;

    SerialLink *MSComm1 = nullptr;
    QByteArray ReceivedText;

    PortList *cboComm = nullptr;
    QPushButton *cmdConect = nullptr;
    QPushButton *cmdAsk = nullptr;
    QPushButton *cmdExit = nullptr;
    std::array<QPushButton *, 16> cmdRelay{};
    std::array<StatusIndicator *, 16> fStatus{};
    QPushButton *cmdOn = nullptr;
    QPushButton *cmdOff = nullptr;
    QLineEdit *txtSend = nullptr;
    QPushButton *cmdSend = nullptr;
    QPlainTextEdit *txtReceive = nullptr;
    std::array<QRadioButton *, 32> OpRelay{};
    QPushButton *cmdSequential = nullptr;

    QPointer<ReportBox> m_report;
    ReportLog m_reportLog;
    // Where the connection sequence stands. Until its second refresh, no answer can be
    // expected yet, so no refresh may call the board silent.
    enum class Connection { Opening, Concluding, Settled };
    Connection m_connection = Connection::Settled;
    // Counts every emptying and reading of the input, so that a refresh can tell whether a
    // handler nested in its wait took the answer.
    quint64 m_inputTakes = 0;
    // The last refresh ended without the board's full answer: bytes found waiting by the next
    // one came too late.
    bool m_answerMissing = false;
    // The port whose board the indicators show; 0 while they show no board's state.
    qint16 m_shownPort = 0;
    // A port opened by the last connection, so that a loss seen now is this port's.
    bool m_connected = false;
    // When the connected port was lost; null until then.
    QTime m_lostAt;
    // Handlers started so far, and how many had started when the port was lost: the rest of the
    // action that met the loss has nothing to add to its report.
    quint64 m_clicksRun = 0;
    quint64 m_clicksAtLoss = 0;
    int m_clickDepth = 0;
    std::deque<Handler> m_pendingClicks;
    bool m_closing = false;

    QString m_serviceSocket = QString::fromLatin1(ServiceClient::kDefaultSocket);
    ServiceBoard *m_service = nullptr;
    bool m_serviceOnline = true;
    // Counts connection sequences, so that one nested in another's wait wins.
    quint64 m_connections = 0;
};
