#include "opcgateway.h"

#include "zelto.h"
#include "zeltoclock.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QTimer>
#include <QTimerEvent>

#include <utility>

namespace {

const int kMaxBackoffMs = 60000;
const qint64 kSteadyRunMs = 60000;

void log(int level, const QString &text)
{
    ZeltoSystem::instance()->log(level, QStringLiteral("OPC: ") + text);
}

} // namespace

OpcGateway::OpcGateway(QObject *parent) : QObject(parent) {}

OpcGateway::~OpcGateway()
{
    stopAndWait();
}

QString OpcGateway::nodeProgram()
{
    return ZeltoEnvironment::nodeProgram();
}

QString OpcGateway::scriptPath()
{
    const QString configured = ZeltoEnvironment::opcGateway();
    if (!configured.isEmpty())
        return configured;
    const QString beside = Zelto::moduleDir() + QStringLiteral("/opc-gateway/gateway.js");
    if (QFileInfo::exists(beside))
        return beside;
    // Where a package installs it: <prefix>/share/orvex beside <prefix>/bin.
    const QString installed =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/orvex/opc-gateway/gateway.js");
    if (QFileInfo::exists(installed))
        return QFileInfo(installed).canonicalFilePath();
#ifdef ORVEX_OPC_GATEWAY_SOURCE
    return QStringLiteral(ORVEX_OPC_GATEWAY_SOURCE "/gateway.js");
#else
    return beside;
#endif
}

QString OpcGateway::verdict(const QString &program, QProcess &probe, bool started, bool finished)
{
    if (!started)
        return tr("Node.js (%1) не найден: OPC UA сервер не запущен").arg(program);
    if (!finished)
        return tr("Node.js (%1) не отвечает: OPC UA сервер не запущен").arg(program);
    const QString version = QString::fromLatin1(probe.readAllStandardOutput()).trimmed();
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^v(\\d+)\\.")).match(version);
    if (!match.hasMatch() || match.captured(1).toInt() < kMinNodeMajor)
        return tr("Node.js %1 слишком стар (нужна версия %2 или новее): OPC UA сервер не запущен")
            .arg(version.isEmpty() ? program : version)
            .arg(kMinNodeMajor);
    return QString();
}

void OpcGateway::start()
{
    if (m_active)
        return;
    m_program = nodeProgram();
    m_script = scriptPath();
    m_stopping = false;
    m_active = true;
    // Node.js is asked its version once per program, without waiting for
    // it: a restart goes straight on.
    if (m_checkedProgram == m_program)
        launchWhenFree();
    else if (!m_probe)
        probeNode();
}

void OpcGateway::probeNode()
{
    QProcess *probe = new QProcess(this);
    m_probe = probe;
    connect(probe, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, probe]() { onProbed(probe, true, true); });
    connect(probe, &QProcess::errorOccurred, this, [this, probe](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onProbed(probe, false, false);
    });
    QTimer::singleShot(kProbeTimeoutMs, probe, [this, probe]() { onProbed(probe, true, false); });
    probe->start(m_program, {QStringLiteral("--version")});
}

void OpcGateway::onProbed(QProcess *probe, bool started, bool finished)
{
    if (probe != m_probe)
        return;
    m_probe = nullptr;
    probe->disconnect(this);
    if (started && !finished)
        probe->kill();
    const QString problem = verdict(m_program, *probe, started, finished);
    probe->deleteLater();
    if (!problem.isEmpty()) {
        m_active = false;
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, problem);
        return;
    }
    m_checkedProgram = m_program;
    if (m_active)
        launchWhenFree();
}

void OpcGateway::launchWhenFree()
{
    if (!QFileInfo::exists(m_script)) {
        m_active = false;
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, tr("Не найдена программа OPC UA сервера %1").arg(m_script));
        return;
    }
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("OPC сервер запущен"));
    // The process stopped last may still hold the port.
    if (!m_ending.isEmpty())
        m_launchWhenEnded = true;
    else
        launch();
}

void OpcGateway::launch()
{
    m_buffer.clear();
    m_dropping = false;
    m_process = new QProcess(this);
    m_process->setProgram(m_program);
    m_process->setArguments({m_script});
    m_process->setWorkingDirectory(QFileInfo(m_script).absolutePath());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &OpcGateway::onReadyRead);
    connect(m_process, &QProcess::readyReadStandardError, this, &OpcGateway::onStandardError);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &OpcGateway::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A process that never started sends no finished signal.
        if (error == QProcess::FailedToStart && m_process)
            onFinished(-1, QProcess::CrashExit);
    });
    m_startedAt = ZeltoClock::system()->monotonicMs();
    m_process->start();
    if (m_process && m_process->state() != QProcess::NotRunning)
        emit started();
}

void OpcGateway::stop()
{
    m_stopping = true;
    m_active = false;
    m_launchWhenEnded = false;
    if (m_restartTimer) {
        killTimer(m_restartTimer);
        m_restartTimer = 0;
    }
    if (!m_process)
        return;
    QProcess *process = std::exchange(m_process, nullptr);
    process->disconnect(this);
    m_ending.append(process);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, process]() { onEnded(process); });
    // Asked first, so that it closes its sessions; ended when it does not.
    process->write(QJsonDocument(QJsonObject{{QStringLiteral("op"), QStringLiteral("stop")}}).toJson(QJsonDocument::Compact) + '\n');
    process->closeWriteChannel();
    QTimer::singleShot(kStopGraceMs, process, [process]() { process->terminate(); });
    QTimer::singleShot(kStopGraceMs + kKillGraceMs, process, [process]() { process->kill(); });
    if (process->state() == QProcess::NotRunning)
        onEnded(process);
}

void OpcGateway::stopAndWait()
{
    stop();
    // A question to Node.js under way is answered first: what it finds
    // wrong is logged.
    if (QProcess *probe = m_probe) {
        const bool finished = probe->waitForFinished(kProbeTimeoutMs);
        onProbed(probe, probe->error() != QProcess::FailedToStart, finished);
    }
    for (QProcess *process : std::exchange(m_ending, QList<QProcess *>())) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning && !process->waitForFinished(kStopGraceMs)) {
            process->terminate();
            if (!process->waitForFinished(kKillGraceMs)) {
                process->kill();
                process->waitForFinished(kKillGraceMs);
            }
        }
        delete process;
    }
}

void OpcGateway::onEnded(QProcess *process)
{
    if (!m_ending.removeOne(process))
        return;
    process->deleteLater();
    if (m_ending.isEmpty() && std::exchange(m_launchWhenEnded, false) && m_active && !m_process)
        launch();
}

void OpcGateway::send(const QJsonObject &message)
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_process->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void OpcGateway::onReadyRead()
{
    if (!m_process)
        return;
    m_buffer += m_process->readAllStandardOutput();
    int start = 0;
    for (;;) {
        const int end = m_buffer.indexOf('\n', start);
        if (end < 0)
            break;
        const QByteArray line = m_buffer.mid(start, end - start);
        start = end + 1;
        if (m_dropping) {
            m_dropping = false;
            continue;
        }
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (!document.isObject()) {
            log(ZeltoSystem::LogWarning, tr("неверная строка от шлюза пропущена: %1")
                                            .arg(QString::fromUtf8(line.left(200))));
            continue;
        }
        emit received(document.object());
        if (!m_process)
            return;   // stopped by a receiver
    }
    m_buffer.remove(0, start);
    if (m_buffer.size() > kMaxLineBytes) {
        log(ZeltoSystem::LogWarning, tr("слишком длинная строка от шлюза пропущена"));
        m_buffer.clear();
        m_dropping = true;
    }
}

void OpcGateway::onStandardError()
{
    if (!m_process)
        return;
    const QList<QByteArray> lines = m_process->readAllStandardError().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            log(ZeltoSystem::LogDebug, QString::fromUtf8(line));
    }
}

void OpcGateway::onFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_process)
        return;
    onReadyRead();
    m_process->deleteLater();
    m_process = nullptr;
    emit finished();
    if (m_stopping)
        return;
    if (ZeltoClock::system()->monotonicMs() - m_startedAt >= kSteadyRunMs)
        m_backoffMs = 1000;
    log(ZeltoSystem::LogError, tr("шлюз OPC UA завершился (%1, код %2), перезапуск через %3 с")
                                   .arg(status == QProcess::CrashExit ? tr("аварийно") : tr("сам"))
                                   .arg(exitCode)
                                   .arg(m_backoffMs / 1000.0));
    m_restartTimer = startTimer(m_backoffMs);
    m_backoffMs = qMin(m_backoffMs * 2, kMaxBackoffMs);
}

void OpcGateway::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_restartTimer)
        return;
    killTimer(m_restartTimer);
    m_restartTimer = 0;
    if (!m_stopping && !m_process)
        launch();
}
