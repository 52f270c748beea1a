#include "serviceprocess.h"

#include <QDeadlineTimer>
#include <QTest>

ServiceProcess::ServiceProcess(const QStringList &arguments, const QProcessEnvironment &environment)
{
    m_process.setProcessEnvironment(environment);
    m_process.start(QStringLiteral(USB16RELAYD_PATH), arguments);
}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kWait);
    }
}

QByteArray ServiceProcess::log()
{
    return m_log += m_process.readAllStandardError();
}

bool ServiceProcess::finish(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(5);
    log();
    return m_process.state() == QProcess::NotRunning;
}

bool ServiceProcess::stop()
{
    m_process.terminate();
    return finish();
}
