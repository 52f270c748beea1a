#pragma once

#include <QByteArray>
#include <QPointer>
#include <QWidget>

#include "reportlog.h"

#include <array>
#include <deque>

class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class PortList;
class QRadioButton;
class SerialLink;
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
    QString silenceText() const;
    // The port field's tooltip names the port open now and its device, or says none is.
    void showOpenPort();
    QString indicatorsStaleText() const;

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

    QPointer<QMessageBox> m_report;
    ReportLog m_reportLog;
    // Refreshes run since the port was last opened; the first cannot have an answer yet.
    int m_refreshesSinceOpen = 0;
    // Counts every emptying and reading of the input, so that a refresh can tell whether a
    // handler nested in its wait took the answer.
    quint64 m_inputTakes = 0;
    bool m_indicatorsRead = false;
    int m_clickDepth = 0;
    std::deque<Handler> m_pendingClicks;
    bool m_closing = false;
};
