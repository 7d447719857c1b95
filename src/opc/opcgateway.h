#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>

// The OPC UA layer as a child process: the Node.js program of
// tools/opc-gateway, talked to over its standard input and output in the
// line protocol of docs/protocol.md. Started once, restarted with a growing
// pause (1 s doubling to 60 s, back to 1 s after a minute of good running)
// whenever it ends without being asked to, stopped on request. A stopped
// process ends in the background (closing its sessions can take seconds
// with many items) while the caller goes on; a start meanwhile launches the
// new process once the old one is gone and its port free. Its standard
// error goes to the log. Main thread only.
class OpcGateway : public QObject
{
    Q_OBJECT

public:
    // The oldest Node.js the gateway's packages run on.
    static constexpr int kMinNodeMajor = 18;
    // Longest line taken from the gateway; a longer one is dropped.
    static constexpr int kMaxLineBytes = 16 * 1024 * 1024;

    explicit OpcGateway(QObject *parent = nullptr);
    ~OpcGateway() override;

    // The Node.js program: ORVEX_NODE, else "node" on the path.
    static QString nodeProgram();
    // The gateway's script: ORVEX_OPC_GATEWAY, else opc-gateway/gateway.js
    // in the home folder, else in <prefix>/share/orvex of an installed
    // server, else the one of the source tree the server was built from.
    static QString scriptPath();
    // Starts the process, after asking Node.js its version (in the
    // background, once per program): Node.js or the script missing, or
    // Node.js too old, is logged as an error and nothing starts.
    void start();
    // Asks the process to end and returns: it is terminated when it has not
    // ended within kStopGraceMs, killed kKillGraceMs later. No restart follows.
    void stop();
    // stop(), then waits until every process of this gateway has ended (at
    // shutdown).
    void stopAndWait();
    // Between a start() that succeeded and stop(): running, about to be
    // launched or waiting for a restart.
    bool isActive() const { return m_active; }
    static constexpr int kStopGraceMs = 3000;
    static constexpr int kProbeTimeoutMs = 10000;
    static constexpr int kKillGraceMs = 2000;
    // One message as one line; dropped while the process is not running.
    void send(const QJsonObject &message);

signals:
    // The process is running and reads its input: send it its address space.
    void started();
    // The process ended; a restart is scheduled unless it was stopped.
    void finished();
    void received(const QJsonObject &message);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // What Node.js's answer to "--version" says: empty when it runs and is
    // new enough; otherwise the reason.
    static QString verdict(const QString &program, QProcess &probe, bool started, bool finished);
    void probeNode();
    void onProbed(QProcess *probe, bool started, bool finished);
    void launchWhenFree();
    void launch();
    void onEnded(QProcess *process);
    void onReadyRead();
    void onStandardError();
    void onFinished(int exitCode, QProcess::ExitStatus status);

    QProcess *m_process = nullptr;
    QString m_program;
    QString m_script;
    QByteArray m_buffer;
    bool m_dropping = false;   // the rest of an over-long line is being skipped
    bool m_stopping = false;
    bool m_active = false;
    bool m_launchWhenEnded = false;   // launch once the stopped processes are gone
    QList<QProcess *> m_ending;       // stopped, not ended yet
    QString m_checkedProgram;         // the Node.js that passed the version check
    QProcess *m_probe = nullptr;      // asking Node.js its version
    int m_restartTimer = 0;
    int m_backoffMs = 1000;
    qint64 m_startedAt = 0;
};
