#include "qtservice.h"
#include "zeltosystem.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>

namespace {

// Generous: sanitizer builds on a loaded two-core machine are slow.
const int WaitMs = 60000;

// A service host child process and the lines it has printed so far.
class Probe
{
public:
    explicit Probe(const QString &serviceName, const QStringList &arguments = QStringList(),
                   const QMap<QString, QString> &environment = QMap<QString, QString>())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PROBE_SERVICE_NAME"), serviceName);
        for (auto it = environment.begin(); it != environment.end(); ++it)
            env.insert(it.key(), it.value());
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(PROBE_PATH), arguments);
    }

    ~Probe()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(WaitMs);
        }
    }

    QProcess &process() { return m_process; }

    // Waits until the probe has printed the line; false when it exits or the
    // time runs out first.
    bool waitForLine(const QByteArray &line)
    {
        const QDeadlineTimer deadline(WaitMs);
        for (;;) {
            collect();
            if (m_lines.contains(line))
                return true;
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    bool waitForExit()
    {
        const bool finished = m_process.waitForFinished(WaitMs);
        collect();
        m_stderr += m_process.readAllStandardError();
        return finished;
    }

    QList<QByteArray> lines()
    {
        collect();
        return m_lines;
    }

    QByteArray standardError()
    {
        m_stderr += m_process.readAllStandardError();
        return m_stderr;
    }

    void signal(int signalNumber) { ::kill(pid_t(m_process.processId()), signalNumber); }

private:
    void collect()
    {
        m_pending += m_process.readAllStandardOutput();
        int newline;
        while ((newline = m_pending.indexOf('\n')) >= 0) {
            m_lines.append(m_pending.left(newline));
            m_pending.remove(0, newline + 1);
        }
    }

    QProcess m_process;
    QByteArray m_pending;
    QList<QByteArray> m_lines;
    QByteArray m_stderr;
};

QList<QByteArray> commandLines(const QList<QByteArray> &lines)
{
    QList<QByteArray> result;
    for (const QByteArray &line : lines)
        if (line.startsWith("command "))
            result.append(line);
    return result;
}

// Sends raw bytes on the control socket; true when the service hangs up
// without answering. The wait is well below the service's two-minute idle
// limit, so a hang-up seen here answers the input.
bool serviceDropsInput(const QString &path, const QByteArray &bytes)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(WaitMs))
        return false;
    socket.write(bytes);
    socket.waitForBytesWritten(WaitMs);
    if (socket.state() != QLocalSocket::UnconnectedState && !socket.waitForDisconnected(WaitMs))
        return false;
    return socket.readAll().isEmpty();
}

} // namespace

class TestQtService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void socketPathFollowsNameAndEnvironment();
    void controllerWithoutService();
    void commandsReachRunningService();
    void signalsStopServiceOnce();
    void startFinishesBeforeCommandsAndStop();
    void secondInstanceIsRefused();
    void staleSocketIsTakenOver();
    void commandLineOptions();

private:
    std::unique_ptr<QTemporaryDir> m_runtimeDir;
};

void TestQtService::initTestCase()
{
    QVERIFY(QFileInfo(QStringLiteral(PROBE_PATH)).isExecutable());
    // A short base keeps socket paths within the limit of sockaddr_un.
    m_runtimeDir.reset(new QTemporaryDir(QStringLiteral("/tmp/tst_qtservice-XXXXXX")));
    QVERIFY(m_runtimeDir->isValid());
    qputenv("ORVEX_RUNTIME_DIR", QFile::encodeName(m_runtimeDir->path()));
}

void TestQtService::socketPathFollowsNameAndEnvironment()
{
    const QString dir = m_runtimeDir->path();
    QCOMPARE(QtServiceController::socketPath(QStringLiteral("Orvex Data Server")),
             dir + QStringLiteral("/orvex-data-server.sock"));
    QCOMPARE(QtServiceController::socketPath(QStringLiteral("Orvex_Server.Monitor/2")),
             dir + QStringLiteral("/orvex-server-monitor-2.sock"));
    QCOMPARE(QtServiceController::socketPath(QStringLiteral("Сервер")), dir + QStringLiteral("/------.sock"));
    QVERIFY(QtServiceController::socketPath(QString()).isEmpty());

    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    qunsetenv("ORVEX_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", "/run/user/4321");
    QCOMPARE(QtServiceController::socketPath(QStringLiteral("A")), QStringLiteral("/run/user/4321/a.sock"));
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(QtServiceController::socketPath(QStringLiteral("A")), QStringLiteral("/tmp/a.sock"));
    if (hadXdg)
        qputenv("XDG_RUNTIME_DIR", xdg);
    qputenv("ORVEX_RUNTIME_DIR", QFile::encodeName(dir));

    QtServiceController controller(QStringLiteral("Orvex Server Monitor"));
    QCOMPARE(controller.serviceName(), QStringLiteral("Orvex Server Monitor"));
}

void TestQtService::controllerWithoutService()
{
    ZeltoSystem::instance()->clearError();
    QtServiceController nobody(QStringLiteral("Nobody Listens"));
    QVERIFY(!nobody.isRunning());
    QVERIFY(!nobody.sendCommand(2));
    QVERIFY(!ZeltoSystem::instance()->lastError().isEmpty());

    // A file that is no socket at the path is no service either.
    QFile plain(QtServiceController::socketPath(QStringLiteral("Plain File")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QtServiceController plainController(QStringLiteral("Plain File"));
    QVERIFY(!plainController.isRunning());
    QVERIFY(!plainController.sendCommand(2));
    QVERIFY(plain.remove());

    QtServiceController unnamed{QString()};
    QVERIFY(!unnamed.isRunning());
    QVERIFY(!unnamed.sendCommand(1));
}

void TestQtService::commandsReachRunningService()
{
    const QString name = QStringLiteral("Probe Commands");
    const QString path = QtServiceController::socketPath(name);
    Probe probe(name);
    QVERIFY2(probe.waitForLine("started"), probe.standardError().constData());
    QVERIFY(QFileInfo::exists(path));

    QtServiceController controller(name);
    QVERIFY(controller.isRunning());
    const QList<int> codes = {2, 0, -7, 2147483647, 99};
    QList<QByteArray> expected;
    for (int code : codes) {
        QVERIFY(controller.sendCommand(code));
        expected.append("command " + QByteArray::number(code));
        // The answer comes after processCommand, so the line is already out.
        QVERIFY(probe.waitForLine(expected.last()));
    }

    // Malformed input closes the connection and reaches no processCommand.
    QVERIFY(serviceDropsInput(path, "abc\n"));
    QVERIFY(serviceDropsInput(path, "12x\n"));
    QVERIFY(serviceDropsInput(path, "\n"));
    QVERIFY(serviceDropsInput(path, "99999999999\n"));
    QVERIFY(serviceDropsInput(path, QByteArray(200, '7')));
    QVERIFY(serviceDropsInput(path, QByteArray(70, ' ') + "5\n"));

    // Clients that hang up before the answer do not hurt the service.
    for (int i = 0; i < 20; ++i) {
        QLocalSocket socket;
        socket.connectToServer(path);
        QVERIFY(socket.waitForConnected(WaitMs));
        socket.write("8\n");
        socket.waitForBytesWritten(WaitMs);
        socket.abort();
        expected.append("command 8");
    }
    QVERIFY(controller.sendCommand(9));
    expected.append("command 9");
    QVERIFY(probe.waitForLine("command 9"));

    // One connection may carry several commands, the last one cut short.
    {
        QLocalSocket socket;
        socket.connectToServer(path);
        QVERIFY(socket.waitForConnected(WaitMs));
        socket.write("11\n12\n1");
        QByteArray answers;
        while (answers.count('\n') < 2 && socket.waitForReadyRead(WaitMs))
            answers += socket.readAll();
        QCOMPARE(answers, QByteArray("ok\nok\n"));
        socket.abort();
    }
    expected << "command 11" << "command 12";

    QVERIFY(controller.sendCommand(7));
    expected.append("command 7");
    QVERIFY(probe.waitForLine("command 7"));
    QCOMPARE(commandLines(probe.lines()), expected);

    probe.process().terminate();
    QVERIFY(probe.waitForExit());
    QCOMPARE(probe.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.process().exitCode(), 0);
    QCOMPARE(probe.lines().count("stopped"), 1);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!controller.isRunning());
    QVERIFY(!controller.sendCommand(2));

    // Log lines: timestamp, service name, level; one line per message.
    const QString log = QString::fromUtf8(probe.standardError());
    const QString stamp = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Probe Commands ");
    QRegularExpression info(stamp + QStringLiteral("INFO: probe started second line$"),
                            QRegularExpression::MultilineOption);
    QRegularExpression warning(stamp + QStringLiteral("WARNING: probe warning$"), QRegularExpression::MultilineOption);
    QVERIFY2(info.match(log).hasMatch(), qPrintable(log));
    QVERIFY2(warning.match(log).hasMatch(), qPrintable(log));
}

void TestQtService::signalsStopServiceOnce()
{
    const QString name = QStringLiteral("Probe Signals");
    {
        Probe probe(name);
        QVERIFY(probe.waitForLine("started"));
        probe.signal(SIGINT);
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.process().exitCode(), 0);
        QCOMPARE(probe.lines().count("stopping"), 1);
        QCOMPARE(probe.lines().count("stopped"), 1);
        QVERIFY(!QFileInfo::exists(QtServiceController::socketPath(name)));
    }
    {
        // More signals while stop() still runs change nothing.
        Probe probe(name, QStringList(), {{QStringLiteral("PROBE_STOP_DELAY_MS"), QStringLiteral("1500")}});
        QVERIFY(probe.waitForLine("started"));
        probe.signal(SIGTERM);
        QVERIFY(probe.waitForLine("stopping"));
        probe.signal(SIGTERM);
        probe.signal(SIGINT);
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.process().exitCode(), 0);
        QCOMPARE(probe.lines().count("stopping"), 1);
        QCOMPARE(probe.lines().count("stopped"), 1);
    }
}

void TestQtService::startFinishesBeforeCommandsAndStop()
{
    const QString name = QStringLiteral("Probe Slow Start");
    const QMap<QString, QString> slowStart = {{QStringLiteral("PROBE_START_DELAY_MS"), QStringLiteral("1000")}};
    {
        // start() runs a nested event loop; commands sent meanwhile wait for
        // start() to return.
        Probe probe(name, QStringList(), slowStart);
        QVERIFY(probe.waitForLine("starting"));
        {
            QLocalSocket early;
            early.connectToServer(QtServiceController::socketPath(name));
            QVERIFY(early.waitForConnected(WaitMs));
            early.write("6\n");
            early.waitForBytesWritten(WaitMs);
        }
        QVERIFY(QtServiceController(name).sendCommand(4));
        QVERIFY(probe.waitForLine("command 4"));
        const QList<QByteArray> lines = probe.lines();
        QVERIFY(lines.indexOf("started") >= 0);
        QVERIFY(lines.indexOf("started") < lines.indexOf("command 4"));
        // The early client hung up while held; its command still counts.
        QVERIFY(lines.indexOf("started") < lines.indexOf("command 6"));
        probe.process().terminate();
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitCode(), 0);
    }
    {
        // A signal during start() stops the service once start() is done.
        Probe probe(name, QStringList(), slowStart);
        QVERIFY(probe.waitForLine("starting"));
        probe.signal(SIGTERM);
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.process().exitCode(), 0);
        QCOMPARE(probe.lines(), QList<QByteArray>() << "starting" << "started" << "stopping" << "stopped");
    }
}

void TestQtService::secondInstanceIsRefused()
{
    const QString name = QStringLiteral("Probe Single");
    Probe first(name);
    QVERIFY(first.waitForLine("started"));

    Probe second(name);
    QVERIFY(second.waitForExit());
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY(!second.lines().contains("started"));
    QVERIFY2(second.standardError().contains(" Probe Single ERROR: "), second.standardError().constData());

    // The first one still owns the socket.
    QtServiceController controller(name);
    QVERIFY(controller.sendCommand(5));
    QVERIFY(first.waitForLine("command 5"));
    first.process().terminate();
    QVERIFY(first.waitForExit());
    QCOMPARE(first.process().exitCode(), 0);

    // A file of another kind at the socket path is not removed.
    const QString foreignName = QStringLiteral("Probe Foreign");
    QFile foreign(QtServiceController::socketPath(foreignName));
    QVERIFY(foreign.open(QIODevice::WriteOnly));
    foreign.write("keep");
    foreign.close();
    Probe blocked(foreignName);
    QVERIFY(blocked.waitForExit());
    QCOMPARE(blocked.process().exitCode(), 1);
    QVERIFY(!blocked.lines().contains("started"));
    QVERIFY(foreign.open(QIODevice::ReadOnly));
    QCOMPARE(foreign.readAll(), QByteArray("keep"));
    foreign.close();
    QVERIFY(foreign.remove());
}

void TestQtService::staleSocketIsTakenOver()
{
    const QString name = QStringLiteral("Probe Stale");
    const QString path = QtServiceController::socketPath(name);
    {
        Probe crashed(name);
        QVERIFY(crashed.waitForLine("started"));
        crashed.process().kill();
        QVERIFY(crashed.waitForExit());
    }
    QVERIFY(QFileInfo::exists(path));
    QtServiceController controller(name);
    QVERIFY(!controller.isRunning());

    Probe successor(name);
    QVERIFY2(successor.waitForLine("started"), successor.standardError().constData());
    QVERIFY(controller.sendCommand(3));
    QVERIFY(successor.waitForLine("command 3"));
    successor.process().terminate();
    QVERIFY(successor.waitForExit());
    QCOMPARE(successor.process().exitCode(), 0);
    QVERIFY(!QFileInfo::exists(path));
}

void TestQtService::commandLineOptions()
{
    const QString name = QStringLiteral("Probe Options");
    const QString program = QFileInfo(QStringLiteral(PROBE_PATH)).canonicalFilePath();
    {
        Probe probe(name, {QStringLiteral("-systemd-unit")});
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitCode(), 0);
        const QList<QByteArray> lines = probe.lines();
        QVERIFY(lines.contains("[Service]"));
        QVERIFY(lines.contains(QStringLiteral("Description=Проверочная служба Orvex").toUtf8()));
        QVERIFY(lines.contains("ExecStart=" + program.toUtf8()));
        QVERIFY(lines.contains("Restart=on-failure"));
        QVERIFY(lines.contains("WantedBy=multi-user.target"));
        QVERIFY(!lines.contains("started"));
    }
    {
        Probe probe(name, {QStringLiteral("-systemd-unit")}, {{QStringLiteral("PROBE_MANUAL_START"), QStringLiteral("1")}});
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitCode(), 0);
        QVERIFY(probe.lines().contains("Restart=on-failure"));
        QVERIFY(!probe.lines().contains("WantedBy=multi-user.target"));
    }
    for (const QString &option : {QStringLiteral("-v"), QStringLiteral("-version")}) {
        Probe probe(name, {option});
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitCode(), 0);
        const QString text = QString::fromUtf8(probe.lines().join('\n'));
        QVERIFY2(text.contains(name), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("Проверочная служба Orvex")));
        QVERIFY(text.contains(QStringLiteral("автоматический")));
    }
    for (const QString &option : {QStringLiteral("-h"), QStringLiteral("-help")}) {
        Probe probe(name, {option});
        QVERIFY(probe.waitForExit());
        QCOMPARE(probe.process().exitCode(), 0);
        QVERIFY(probe.lines().join('\n').contains("-systemd-unit"));
    }
    // None of them ran the service.
    QVERIFY(!QFileInfo::exists(QtServiceController::socketPath(name)));
}

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
