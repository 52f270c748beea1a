#include "comportpath.h"
#include "processstats.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int kExchanges = 10'000;
constexpr int kWindow = 1'000;
constexpr int kStateChangeEvery = 37;
constexpr int kReopenings = 300;
constexpr qint64 kMaxGrowthKb = 1024;
constexpr auto kReplyTimeout = 5s;

RelayState stateOf(quint16 bits)
{
    RelayState state{};
    for (int i = 0; i < RelayProtocol::kRelayCount; ++i)
        state[size_t(i)] = (bits & (0x8000u >> i)) != 0;
    return state;
}

} // namespace

// Long runs through the link layer against a simulated board on a pty, without the window's
// pauses: every answer right, no memory creeping up, no descriptor left behind.
class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tenThousandStatusExchanges();
    void reopeningLeavesNoDescriptorOpen();

private:
    bool openLink(SerialLink &link);
    // Asks for the status and returns what came back once two bytes are there (or time ran out).
    QByteArray exchange(SerialLink &link);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SimulatedBoard> m_board;
};

void TestSoak::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir->path()));
    m_board = std::make_unique<SimulatedBoard>();
    QVERIFY2(m_board->start(m_dir->filePath(QStringLiteral("COM1"))),
             qPrintable(m_board->errorString()));
}

void TestSoak::cleanup()
{
    m_board.reset();
    m_dir.reset();
    qunsetenv(ComPortPath::kPortDirVariable);
}

bool TestSoak::openLink(SerialLink &link)
{
    link.setRThreshold(1);
    return link.setCommPort(1) && link.setSettings(QStringLiteral("9600,N,8,1")) &&
           link.setPortOpen(true);
}

QByteArray TestSoak::exchange(SerialLink &link)
{
    if (!link.setInBufferCount(0) || !link.setOutput(RelayProtocol::askCommand()))
        return {};
    const QDeadlineTimer deadline(kReplyTimeout);
    // Wakes the blocking event processing below should the board never answer.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(kReplyTimeout);
    while (link.inBufferCount() < 2 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return link.input();
}

void TestSoak::tenThousandStatusExchanges()
{
    const int descriptorsBefore = ProcessStats::openDescriptors();
    QVERIFY(descriptorsBefore > 0);
    qint64 residentAfterFirst = -1;
    {
        SerialLink link;
        QVERIFY2(openLink(link), qPrintable(link.errorString()));
        quint16 bits = 0x8140;
        m_board->setState(bits);
        for (int i = 1; i <= kExchanges; ++i) {
            if (i % kStateChangeEvery == 0) {
                bits = quint16(bits * 25173u + 13849u);
                m_board->setState(bits);
            }
            const QByteArray reply = exchange(link);
            if (reply.size() != 2)
                QFAIL(qPrintable(QStringLiteral("exchange %1: %2 bytes (%3) instead of two")
                                     .arg(i)
                                     .arg(reply.size())
                                     .arg(QString::fromLatin1(reply.toHex(' ')))));
            const std::optional<RelayState> state = RelayProtocol::decodeStatus(reply);
            QVERIFY(state);
            if (*state != stateOf(m_board->state()))
                QFAIL(qPrintable(QStringLiteral("exchange %1: read %2, the board holds %3")
                                     .arg(i)
                                     .arg(QString::fromLatin1(reply.toHex()))
                                     .arg(m_board->state(), 4, 16, QLatin1Char('0'))));
            if (i == kWindow)
                residentAfterFirst = ProcessStats::residentKiB();
        }
        const qint64 residentAfterLast = ProcessStats::residentKiB();
        QVERIFY(residentAfterFirst > 0 && residentAfterLast > 0);
        if (ProcessStats::kResidentSizeTellsGrowth)
            QVERIFY2(residentAfterLast - residentAfterFirst < kMaxGrowthKb,
                     qPrintable(QStringLiteral("resident size grew from %1 kB to %2 kB")
                                    .arg(residentAfterFirst)
                                    .arg(residentAfterLast)));
        else
            qInfo("resident size not compared under AddressSanitizer (its leak check runs)");
        QVERIFY(link.setPortOpen(false));
    }
    QCOMPARE(ProcessStats::openDescriptors(), descriptorsBefore);
}

void TestSoak::reopeningLeavesNoDescriptorOpen()
{
    const int descriptorsBefore = ProcessStats::openDescriptors();
    QVERIFY(descriptorsBefore > 0);
    {
        SerialLink link;
        for (int i = 1; i <= kReopenings; ++i) {
            QVERIFY2(openLink(link),
                     qPrintable(QStringLiteral("opening %1: %2").arg(i).arg(link.errorString())));
            m_board->setState(quint16(i));
            QCOMPARE(RelayProtocol::decodeStatus(exchange(link)), stateOf(quint16(i)));
            QVERIFY(link.setPortOpen(false));
        }
        // A link dropped while open closes its port too.
        QVERIFY(openLink(link));
    }
    QCOMPARE(ProcessStats::openDescriptors(), descriptorsBefore);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
