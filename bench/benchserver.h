#pragma once

// What the benchmarks that run the real server share: archives of generated
// values, best-of-n timing, a temporary home folder with the metadata files,
// and orvex-server started there and reached over loopback TCP.

#include "archivedates.h"
#include "zeltoclient.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include <time.h>
#include <unistd.h>

namespace Bench {

// Four systems of ten parameters: temperatures and pressures (averaged),
// masses, volumes and heat (accumulating).
inline QStringList parameterColumns()
{
    static const char *const quantities[] = {"t1", "t2", "t3", "P1", "P2", "G1", "G2", "V1", "V2", "Q"};
    QStringList columns;
    for (int system = 1; system <= 4; ++system)
        for (const char *quantity : quantities)
            columns << QStringLiteral("S%1_%2").arg(system).arg(QLatin1String(quantity));
    return columns;
}

// Rows from first, one every step (in seconds, or one calendar month when
// months is true), with values that need all digits of a double.
inline ZeltoTable archive(const QDateTime &first, int count, qint64 step, bool months = false, int seed = 0)
{
    const QStringList params = parameterColumns();
    QVector<QVector<QVariant>> rows(count);
    for (int r = 0; r < count; ++r) {
        QVector<QVariant> &row = rows[r];
        row.reserve(params.size() + 1);
        row.append(months ? first.addMonths(r) : first.addSecs(r * step));
        for (int c = 0; c < params.size(); ++c)
            row.append(60.0 + c + (r + seed) % 40 * 0.125 + 1.0 / (r + seed + c + 1));
    }
    ZeltoTable table;
    table.setContent(QStringList{ArchiveDates::column()} + params, std::move(rows));
    return table;
}

inline double ms(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

inline double best(int runs, const std::function<double(int)> &run)
{
    double result = std::numeric_limits<double>::max();
    for (int i = 0; i < runs; ++i)
        result = qMin(result, run(i));
    return result;
}

// CPU time of the calling thread, to print beside wall times: other work on
// the machine stretches those.
inline double threadCpuMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// CPU time a process's main thread, which runs the commands, has used so far.
inline double mainThreadCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/task/%1/schedstat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    return stat.readAll().split(' ').value(0).toDouble() / 1e6;
}

// CPU time of a whole process so far, threads that have ended included, in
// ms; counted in the kernel's clock ticks (10 ms each, usually).
inline double processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // The fields after the parenthesised name: state is the first, utime the twelfth, stime the thirteenth.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 / sysconf(_SC_CLK_TCK);
}

// A process's memory figure from /proc (resident by default), in MiB.
inline double residentMiB(qint64 pid, const char *field = "VmRSS:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

inline void printTimeZone()
{
    std::printf("TZ: %s\n", qEnvironmentVariableIsSet("TZ") ? qgetenv("TZ").constData() : "(unset)");
}

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
}

// A temporary home folder holding the metadata files, as the server's
// program folder would; ORVEX_HOME points there for this process too.
class Home
{
public:
    // In `parent` when given (a benchmark of the disk must not land on a
    // tmpfs), else in the system's temporary folder.
    explicit Home(const QString &parent = QString())
        : m_dir((parent.isEmpty() ? QDir::tempPath() : parent) + QStringLiteral("/orvex-bench-XXXXXX"))
    {
        if (!m_dir.isValid())
            fail("temporary folder");
        QDir().mkpath(m_dir.filePath(QStringLiteral("metadata")));
        const QDir metadata(QStringLiteral(ORVEX_METADATA_DIR));
        for (const QString &name : metadata.entryList(QDir::Files))
            QFile::copy(metadata.filePath(name), m_dir.filePath(QStringLiteral("metadata/") + name));
        // For this process and for the servers it starts.
        qputenv("ORVEX_HOME", m_dir.path().toUtf8());
        ZeltoEnvironment::set("ORVEX_HOME", m_dir.path());
    }

    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

inline bool call(ZeltoClient &client, const QString &name, const QVariantList &params, int timeoutMs = 120000)
{
    return client.request(name, params) && client.waitForResponse(timeoutMs);
}

inline double timedCall(ZeltoClient &client, const QString &name, const QVariantList &params)
{
    QElapsedTimer t;
    t.start();
    if (!call(client, name, params))
        fail(qPrintable(name));
    return ms(t);
}

// orvex-server on a free loopback port of the home folder, with a client
// connected to it.
class Server
{
public:
    // environment: variables for the server beyond its home folder's;
    // databaseIni: the INI file's [Database] section, when not the home's SQLite file.
    explicit Server(const QString &home, const QList<QPair<QString, QString>> &environment = {},
                    const QString &databaseIni = QString())
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = m_port = probe.serverPort();
        probe.close();
        QFile ini(home + QStringLiteral("/orvex-server.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write(QStringLiteral("[Server]\nport=%1\naddress=127.0.0.1\n").arg(port).toUtf8() + databaseIni.toUtf8());
        ini.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVEX_HOME"), home);
        env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), home);
        for (const auto &variable : environment)
            env.insert(variable.first, variable.second);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ORVEX_SERVER_PATH), QStringList());
        if (!m_process.waitForStarted())
            fail("server start");
        bool connected = false;
        for (int attempt = 0; attempt < 200 && !connected; ++attempt) {
            m_client.connectToHost(QStringLiteral("127.0.0.1"), port);
            connected = m_client.waitForConnected(1000);
            if (!connected)
                QThread::msleep(50);
        }
        if (!connected)
            fail("connect");
    }

    ~Server()
    {
        m_client.disconnectFromHost();
        m_process.terminate();
        if (!m_process.waitForFinished(60000))
            m_process.kill();
    }

    ZeltoClient &client() { return m_client; }
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }

    // CPU time the server's main thread, which runs the commands, has used
    // so far: unlike wall time it does not grow when other work on the
    // machine takes the processor away.
    double mainThreadCpuMs() const { return Bench::mainThreadCpuMs(m_process.processId()); }

    // Minor page faults of the server's main thread so far: fresh memory
    // that the kernel hands out costs CPU time too.
    qint64 mainThreadMinorFaults() const
    {
        const qint64 pid = m_process.processId();
        QFile stat(QStringLiteral("/proc/%1/task/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        // The fields after the parenthesised name: state is the first, minflt the eighth.
        const QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2).split(' ').value(7).toLongLong();
    }

private:
    QProcess m_process;
    ZeltoClient m_client;
    quint16 m_port = 0;
};

} // namespace Bench
