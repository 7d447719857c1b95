#include "qtservice.h"
#include "zeltoenvironment.h"

#include <QLocalSocket>
#include <QtTest>

#include <memory>
#include <signal.h>

namespace {

// Generous: sanitizer builds on a loaded two-core machine are slow.
const int WaitMs = 60000;

// For the controller in this process and for the probes it starts; empty unsets.
void setVariable(const char *name, const QByteArray &value)
{
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, value);
    ZeltoEnvironment::set(name, QFile::decodeName(value));
}

// A service host child process and the lines it has printed so far.
class Probe
{
public:
    explicit Probe(const QString &serviceName, const QStringList &arguments = {},
                   const QMap<QString, QString> &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PROBE_SERVICE_NAME", serviceName);
        for (auto it = environment.begin(); it != environment.end(); ++it)
            if (!it.value().isEmpty())   // empty: left unset
                env.insert(it.key(), it.value());
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(PROBE_PATH), arguments);
    }

    ~Probe() { m_process.kill(); m_process.waitForFinished(WaitMs); }

    // Waits until the probe has printed the line; false on exit or timeout.
    bool waitForLine(const QByteArray &line)
    {
        const QDeadlineTimer deadline(WaitMs);
        for (;;) {
            if (lines().contains(line))
                return true;
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    // Waits for the exit; true when it came with this exit code, not a crash.
    bool exitsWith(int code)
    {
        return m_process.waitForFinished(WaitMs) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == code;
    }

    // A second service on a socket in use: exit code 1 before "started".
    bool refused() { return exitsWith(1) && !lines().contains("started"); }

    bool stops() { m_process.terminate(); return exitsWith(0); }   // SIGTERM, then a clean exit

    QList<QByteArray> lines()
    {
        while (m_process.canReadLine())
            m_lines.append(m_process.readLine().chopped(1));
        return m_lines;
    }

    QByteArray standardError() { return m_stderr += m_process.readAllStandardError(); }

    void signal(int signalNumber) { ::kill(pid_t(m_process.processId()), signalNumber); }

private:
    QProcess m_process;
    QList<QByteArray> m_lines;
    QByteArray m_stderr;
};

// A client of the control socket that has sent raw `bytes`; null when it could not connect.
std::unique_ptr<QLocalSocket> sending(const QString &path, const QByteArray &bytes)
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(path);
    if (!socket->waitForConnected(WaitMs))
        return nullptr;
    socket->write(bytes);
    socket->waitForBytesWritten(WaitMs);
    return socket;
}

// True when the service hangs up on `bytes` without answering (well within its two-minute idle limit).
bool serviceDropsInput(const QString &path, const QByteArray &bytes)
{
    const auto socket = sending(path, bytes);
    return socket && (socket->state() == QLocalSocket::UnconnectedState || socket->waitForDisconnected(WaitMs))
        && socket->readAll().isEmpty();
}

} // namespace

class TestQtService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(QStringLiteral(PROBE_PATH)).isExecutable());
        // A short base keeps socket paths within the limit of sockaddr_un.
        m_runtimeDir.reset(new QTemporaryDir("/tmp/tst_qtservice-XXXXXX"));
        QVERIFY(m_runtimeDir->isValid());
        setVariable("ORVEX_RUNTIME_DIR", QFile::encodeName(m_runtimeDir->path()));
        // The control socket is keyed to the home: the probes share this one.
        setVariable("ORVEX_HOME", QFile::encodeName(m_runtimeDir->path()));
    }

    // The control socket's path, and a controller with no service behind it.
    void socketPathAndNoService()
    {
        const QString dir = m_runtimeDir->path();
        const QTemporaryDir homeDir;   // with a sub-folder, to spell it in two ways
        const QString home = homeDir.path();
        QVERIFY(QDir().mkpath(home + QStringLiteral("/sub")));
        setVariable("ORVEX_HOME", QFile::encodeName(home));
        for (const auto &[name, file] : {std::make_pair("Orvex Data Server", "orvex-data-server"),
                                         std::make_pair("Orvex_Server.Monitor/2", "orvex-server-monitor-2"),
                                         std::make_pair("Сервер", "------")}) {
            const QString path = QtServiceController::socketPath(QString::fromUtf8(name));
            const QString pattern = QRegularExpression::escape(dir + '/' + QLatin1String(file)) + "-[0-9a-f]{12}\\.sock";
            QVERIFY2(QRegularExpression(pattern).match(path).hasMatch(), qPrintable(path));
        }
        QVERIFY(QtServiceController::socketPath(QString()).isEmpty());

        // One home however spelled gives one socket; another home another one.
        const QString first = QtServiceController::socketPath("A");
        setVariable("ORVEX_HOME", QFile::encodeName(home + QStringLiteral("/sub/..")));
        QCOMPARE(QtServiceController::socketPath(QStringLiteral("A")), first);
        setVariable("ORVEX_HOME", QFile::encodeName(home + QStringLiteral("/sub")));
        QVERIFY(QtServiceController::socketPath("A") != first);
        setVariable("ORVEX_HOME", QFile::encodeName(m_runtimeDir->path()));

        // Without a folder of ours, the session's runtime folder, else /tmp (the probes get ORVEX_RUNTIME_DIR back).
        setVariable("ORVEX_RUNTIME_DIR", QByteArray());
        setVariable("XDG_RUNTIME_DIR", "/run/user/4321");
        QVERIFY(QtServiceController::socketPath("A").startsWith("/run/user/4321/a-"));
        setVariable("XDG_RUNTIME_DIR", QByteArray());
        QVERIFY(QtServiceController::socketPath("A").startsWith("/tmp/a-"));
        setVariable("ORVEX_RUNTIME_DIR", QFile::encodeName(dir));

        // A controller where nobody listens, a file that is no socket is at the path, or no name at all.
        // Nobody listens, a file that is no socket is at the path, no name at all.
        QVERIFY(QFile(QtServiceController::socketPath("Plain File")).open(QIODevice::WriteOnly));
        for (const QString &name : QStringList{"Nobody Listens", "Plain File", QString()}) {
            const ZeltoStatus sent = QtServiceController(name).sendCommand(2);
            QVERIFY(!QtServiceController(name).isRunning() && !sent.ok());
            QVERIFY(!sent.message().isEmpty());
        }
        QVERIFY(QFile::remove(QtServiceController::socketPath("Plain File")));
    }

    void commandsReachRunningService()
    {
        const QString name = "Probe Commands";
        const QString path = QtServiceController::socketPath(name);
        Probe probe(name);
        QVERIFY2(probe.waitForLine("started"), probe.standardError().constData());
        QVERIFY(QFileInfo::exists(path));

        QtServiceController controller(name);
        QVERIFY(controller.isRunning());
        QList<QByteArray> expected{"starting", "started"};
        const auto send = [&](int code) {   // the answer comes after processCommand: the line is out by then
            expected.append("command " + QByteArray::number(code));
            return controller.sendCommand(code).ok() && probe.waitForLine(expected.last());
        };
        for (int code : {2, 0, -7, 2147483647, 99})
            QVERIFY(send(code));

        // Malformed input closes the connection and reaches no processCommand.
        for (const QByteArray &bytes : {QByteArray("abc\n"), QByteArray("12x\n"), QByteArray("\n"), QByteArray("99999999999\n"),
                                        QByteArray(200, '7'), QByteArray(70, ' ') + "5\n"})
            QVERIFY2(serviceDropsInput(path, bytes), bytes.constData());

        // Clients that hang up before the answer do not hurt the service.
        for (int i = 0; i < 20; ++i) {
            QVERIFY(sending(path, "8\n"));
            expected.append("command 8");
        }
        QVERIFY(send(9));

        // One connection may carry several commands, the last one cut short.
        {
            const auto socket = sending(path, "11\n12\n1");
            QVERIFY(socket);
            QByteArray answers;
            while (answers.count('\n') < 2 && socket->waitForReadyRead(WaitMs))
                answers += socket->readAll();
            QCOMPARE(answers, QByteArray("ok\nok\n"));
        }
        expected << "command 11" << "command 12";

        QVERIFY(send(7));
        QVERIFY(probe.stops());
        QCOMPARE(probe.lines(), expected << "stopping" << "stopped");
        QVERIFY(!QFileInfo::exists(path));

        // Log lines: timestamp, service name, level; one line per message.
        const QString log = QString::fromUtf8(probe.standardError());
        const QString stamp = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Probe Commands ";
        for (const char *line : {"INFO: probe started second line", "WARNING: probe warning"})
            QVERIFY2(QRegularExpression(stamp + line + '$', QRegularExpression::MultilineOption).match(log).hasMatch(),
                     qPrintable(log));
    }

    // Signals stop the service once, whenever they come; commands wait for start() to return.
    void startAndStop()
    {
        const QString name = "Probe Signals";
        // SIGINT stops; so does SIGTERM, during start() once it is done; more signals while stop() runs change nothing.
        for (const QByteArray when : {"running", "starting", "stopping"}) {
            Probe probe(name, {}, {{"PROBE_START_DELAY_MS", when == "starting" ? "1000" : QString()},
                                   {"PROBE_STOP_DELAY_MS", when == "stopping" ? "1500" : QString()}});
            QVERIFY(probe.waitForLine(when == "starting" ? "starting" : "started"));
            probe.signal(when == "running" ? SIGINT : SIGTERM);
            if (when == "stopping") {
                QVERIFY(probe.waitForLine("stopping"));
                probe.signal(SIGTERM);
                probe.signal(SIGINT);
            }
            QVERIFY(probe.exitsWith(0));
            QCOMPARE(probe.lines(), QList<QByteArray>({"starting", "started", "stopping", "stopped"}));
            QVERIFY(!QFileInfo::exists(QtServiceController::socketPath(name)));
        }

        // Commands sent while start() runs wait for it to return.
        const QString slow = "Probe Slow Start";
        Probe probe(slow, {}, {{"PROBE_START_DELAY_MS", "1000"}});
        QVERIFY(probe.waitForLine("starting"));
        QVERIFY(sending(QtServiceController::socketPath(slow), "6\n"));   // and hangs up while held
        QVERIFY(QtServiceController(slow).sendCommand(4).ok());
        QVERIFY(probe.waitForLine("command 4"));
        QCOMPARE(probe.lines().mid(0, 2), QList<QByteArray>({"starting", "started"}));
        QVERIFY(probe.lines().contains("command 6"));
        QVERIFY(probe.stops());
    }

    void secondInstanceIsRefused()
    {
        const QString name = "Probe Single";
        const QString path = QtServiceController::socketPath(name);
        QtServiceController controller(name);
        {
            // A killed one leaves its socket: not running, and the next one takes the socket over.
            Probe crashed(name);
            QVERIFY(crashed.waitForLine("started"));
            crashed.signal(SIGKILL);
        }   // and waited for
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(!controller.isRunning());
        Probe first(name);
        QVERIFY2(first.waitForLine("started"), first.standardError().constData());

        Probe second(name);
        QVERIFY(second.refused());
        QVERIFY2(second.standardError().contains(" Probe Single ERROR: "), second.standardError().constData());

        // The first one still owns the socket.
        QVERIFY(controller.sendCommand(5).ok());
        QVERIFY(first.waitForLine("command 5"));
        QVERIFY(first.stops());
        QVERIFY(!QFileInfo::exists(path));

        // A file of another kind at the socket path is not removed.
        QFile foreign(path);
        QVERIFY(foreign.open(QIODevice::WriteOnly) && foreign.write("keep") == 4);
        foreign.close();
        Probe blocked(name);
        QVERIFY(blocked.refused());
        QVERIFY(foreign.open(QIODevice::ReadOnly));
        QCOMPARE(foreign.readAll(), QByteArray("keep"));
        QVERIFY(foreign.remove());
    }

    void commandLineOptions()
    {
        const QString name = "Probe Options";
        const QString program = QFileInfo(QStringLiteral(PROBE_PATH)).canonicalFilePath();
        const auto output = [&](const QString &option, bool manual = false) {
            Probe probe(name, {option}, {{"PROBE_MANUAL_START", manual ? "1" : QString()}});
            return probe.exitsWith(0) ? QString::fromUtf8(probe.lines().join('\n')) : "failed";
        };
        const QString unit = output("-systemd-unit");
        for (const QString &line : QStringList{"[Service]", "Description=Проверочная служба Orvex",
                                    QStringLiteral("ExecStart=") + program, "Restart=on-failure", "LimitNOFILE=65536",
                                    "WantedBy=multi-user.target"})
            QVERIFY2(unit.split('\n').contains(line), qPrintable(unit));
        QVERIFY(!output("-systemd-unit", true).contains("WantedBy="));
        for (const char *option : {"-h", "-help"})
            QVERIFY(output(option).contains("-systemd-unit"));
        // None of them ran the service: each exited by itself.
    }

private:
    std::unique_ptr<QTemporaryDir> m_runtimeDir;
};

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
