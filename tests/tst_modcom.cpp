#include "comportpath.h"
#include "modcom.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)
                   .size());
}

} // namespace

class TestModCom : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultMapping_data();
    void defaultMapping();
    void directoryMapping_data();
    void directoryMapping();
    void presentPortLeavesNothingOpen();
    void onlyThePortsThatExist();
    void notASerialDevice_data();
    void notASerialDevice();
    void nodeWithoutDevice();
    void portHeldByTheLinkStillExists();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestModCom::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir->path()));
}

void TestModCom::cleanup()
{
    m_dir.reset();
    qunsetenv(ComPortPath::kPortDirVariable);
}

void TestModCom::defaultMapping_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("COM1") << 1 << "/dev/ttyUSB0";
    QTest::newRow("COM8") << 8 << "/dev/ttyUSB7";
    QTest::newRow("COM9") << 9 << "/dev/ttyACM0";
    QTest::newRow("COM16") << 16 << "/dev/ttyACM7";
    QTest::newRow("COM0") << 0 << "";
    QTest::newRow("COM17") << 17 << "";
    QTest::newRow("COM-1") << -1 << "";
}

void TestModCom::defaultMapping()
{
    QFETCH(int, port);
    QFETCH(QString, path);
    qunsetenv(ComPortPath::kPortDirVariable);
    QCOMPARE(ComPortPath::devicePath(port), path);
    if (path.isEmpty()) {
        const qint16 n = qint16(port);
        QVERIFY(!ComPortExists(n));
    }
}

void TestModCom::directoryMapping_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("name");
    QTest::newRow("COM1") << 1 << "COM1";
    QTest::newRow("COM10") << 10 << "COM10";
    QTest::newRow("COM16") << 16 << "COM16";
    QTest::newRow("COM0") << 0 << "";
    QTest::newRow("COM17") << 17 << "";
}

void TestModCom::directoryMapping()
{
    QFETCH(int, port);
    QFETCH(QString, name);
    QCOMPARE(ComPortPath::devicePath(port), name.isEmpty() ? QString() : m_dir->filePath(name));
}

void TestModCom::presentPortLeavesNothingOpen()
{
    SimulatedBoard board;
    QVERIFY(board.start(m_dir->filePath(QStringLiteral("COM3"))));
    const int before = openDescriptorCount();
    const qint16 port = 3;
    QVERIFY(ComPortExists(port));
    QCOMPARE(port, qint16(3));
    QCOMPARE(openDescriptorCount(), before);
    // Nothing held: the link opens the port right after the probe.
    SerialLink link;
    QVERIFY(link.setCommPort(3));
    QVERIFY2(link.setPortOpen(true), qPrintable(link.errorString()));
}

void TestModCom::onlyThePortsThatExist()
{
    SimulatedBoard three, five;
    QVERIFY(three.start(m_dir->filePath(QStringLiteral("COM3"))));
    QVERIFY(five.start(m_dir->filePath(QStringLiteral("COM5"))));
    QList<int> found;
    for (qint16 n = 1; n <= 16; ++n)
        if (ComPortExists(n))
            found << n;
    QCOMPARE(found, (QList<int>{3, 5}));
}

void TestModCom::notASerialDevice_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("regular file") << "file";
    QTest::newRow("directory") << "dir";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("link to a regular file") << "filelink";
    QTest::newRow("character device that is no terminal") << "null";
}

void TestModCom::notASerialDevice()
{
    QFETCH(QString, kind);
    const QString path = m_dir->filePath(QStringLiteral("COM2"));
    const QString other = m_dir->filePath(QStringLiteral("elsewhere"));
    if (kind == QLatin1String("file") || kind == QLatin1String("filelink")) {
        QFile file(kind == QLatin1String("file") ? path : other);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    if (kind == QLatin1String("dir"))
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("COM2")));
    if (kind == QLatin1String("dangling") || kind == QLatin1String("filelink"))
        QVERIFY(QFile::link(other, path));
    if (kind == QLatin1String("null"))
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    const qint16 port = 2;
    QVERIFY(!ComPortExists(port));
}

void TestModCom::nodeWithoutDevice()
{
    // A character node whose driver is not there (major 240 is reserved for local use).
    const QByteArray path = QFile::encodeName(m_dir->filePath(QStringLiteral("COM6")));
    if (::mknod(path.constData(), S_IFCHR | 0600, makedev(240, 77)) != 0)
        QSKIP("cannot make device nodes here");
    const qint16 port = 6;
    QVERIFY(!ComPortExists(port));
}

void TestModCom::portHeldByTheLinkStillExists()
{
    SimulatedBoard board;
    QVERIFY(board.start(m_dir->filePath(QStringLiteral("COM1"))));
    SerialLink link;
    QVERIFY(link.setPortOpen(true));
    const qint16 port = 1;
    QVERIFY(ComPortExists(port));
    QVERIFY(link.portOpen());
}

QTEST_GUILESS_MAIN(TestModCom)
#include "tst_modcom.moc"
