// An installation grown to N nodes through the server's own commands, and
// what it then costs, each figure beside the floor measured in the same run:
//
//   bench_scale [--nodes N] [--days D] [--years Y] [--home DIR] [--server PATH] [--no-opc] [--no-polls]
//               [--polls P] [--pg | --connection CONNINFO]
//
// Growing: groups of 100 nodes, one node of a two-system meter (ТВ-3) and one
// main task per node (saveNode, saveTask), and D days (365) of hourly, daily,
// monthly and current data per node (saveArchives). The JSON of the archives
// is written once and sent for every node with only the node id changed;
// requests are pipelined. With --home DIR the installation is kept there, and
// a later run on the same folder skips growing (to compare two builds of the
// server on the same data; --server names the other build's orvex-server).
//
// With --pg or --connection (benchpostgres.h) the server keeps its data on
// PostgreSQL and the floors are measured there, through libpq; --connection
// keeps the installation in the database it names, as --home does.
//
// Then, against the floors:
//   start-up, with and without OPC UA          an empty installation's start-up
//   getNodes, getTasks                         SELECT * through sqlite3 (libpq) + writing the reply
//   getNode                                    the round trip of getVersion
//   a one-node report (last month)             reading its archives' bytes and decoding them
//   group totals over all nodes (last month)   reading the archives they use
//   the longest wait of a client calling getVersion every 50 ms
//     during group totals, compaction (its VACUUM) and OPC UA start
//   compaction (SQLite only)                   a copy of the database file
//   polls per second (orvex-device-sim --instant)   one-day saves per second over the wire
//   a one-day save into Y years of archives    a durable UPDATE of the node's row
//     (5 by default; and into one of the nodes) with the same bytes, a day longer,
//                                              in a file set up as the server's
//   resident memory of the server and the OPC UA gateway
//
// Wall times are "best/median" of several calls where a call is repeated.

#include "benchpostgres.h"
#include "benchserver.h"
#include "metadatacatalogue.h"
#include "metervalues.h"
#include "schema.h"
#include "zelto.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltorpcmessage.h"
#include "zeltostream.h"

#include <QCoreApplication>
#include <QDate>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QTcpSocket>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>

#include <signal.h>
#include <unistd.h>

namespace {

using namespace Bench;

const QString kModel = QStringLiteral("QRV3");
const QString kModelName = QStringLiteral("ТВ-3");
const int kFirstNumber = 100001;
const int kNodesPerGroup = 100;

struct Options
{
    QString server = QStringLiteral(ORVEX_SERVER_PATH);
    int nodes = 1000;
    int days = 365;
    QString home;
    bool opc = true;
    bool polls = true;
    int pollCount = 0;   // 0: min(nodes, 1000)
    int years = 5;       // of the deep node's archives
};

// ---------------------------------------------------------------------------
// Printing: one line per figure, the floor and the ratio beside it.

void printHeading(const char *text)
{
    std::printf("\n%s\n", text);
    std::fflush(stdout);
}

void printFigure(const QString &name, const QString &value, const QString &floorName = QString(),
                 const QString &floorValue = QString(), double ratio = 0)
{
    std::printf("  %-44s %14s", qPrintable(name), qPrintable(value));
    if (!floorName.isEmpty())
        std::printf("   %-38s %12s", qPrintable(floorName), qPrintable(floorValue));
    if (ratio > 0)
        std::printf("  %7.1fx", ratio);
    std::printf("\n");
    std::fflush(stdout);
}

// Small values keep two decimals, so that their ratios can be checked.
QString number(double value, const char *format = "%.1f")
{
    return QString::asprintf(value < 10 && QByteArray(format) == "%.1f" ? "%.2f" : format, value);
}

struct Spread
{
    QVector<double> values;
    double best() const { return *std::min_element(values.cbegin(), values.cend()); }
    double median() const
    {
        QVector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted.at(sorted.size() / 2);
    }
    QString text() const { return number(best()) + QLatin1Char('/') + number(median()); }
};

// ---------------------------------------------------------------------------
// Processes.

QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/children")));
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &child : file.readAll().split(' ')) {
                if (!child.trimmed().isEmpty())
                    children.append(child.trimmed().toLongLong());
            }
        }
    }
    return children;
}

// Bytes the process has handed to write() so far: its database, log and
// temporary files (and the few bytes of a reply).
qint64 writtenBytes(qint64 pid)
{
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    const bool connected = socket.waitForConnected(500);
    socket.abort();
    return connected;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The server running, stopped when the benchmark fails on its way.
qint64 s_runningServer = 0;

void stopRunningServer()
{
    if (s_runningServer > 0)
        ::kill(pid_t(s_runningServer), SIGTERM);
}

// orvex-server on the home folder, started and stopped at will, always on
// the same port.
class ServerProcess
{
public:
    // The server program: this build's, or another given with --server.
    static QString s_program;

    // databaseIni: the INI file's [Database] section, when not the home's SQLite file.
    ServerProcess(const QString &home, quint16 port, const QString &databaseIni = QString())
        : m_home(home), m_port(port)
    {
        QFile ini(home + QStringLiteral("/orvex-server.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            fail("INI file");
        ini.write(QStringLiteral("[Server]\nport=%1\naddress=127.0.0.1\n").arg(port).toUtf8() + databaseIni.toUtf8());
    }
    ~ServerProcess() { stop(); }

    // Starts the server; the milliseconds until it has answered getVersion.
    double start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVEX_HOME"), m_home);
        env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), m_home);
        env.insert(QStringLiteral("ORVEX_LOG_LEVEL"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        m_process.start(s_program, QStringList());
        if (!m_process.waitForStarted())
            fail("server start");
        s_runningServer = m_process.processId();
        for (;;) {
            m_client.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            if (m_client.waitForConnected(1000) && call(m_client, QStringLiteral("getVersion"), {}, 3600000))
                break;
            if (m_process.state() != QProcess::Running)
                fail("server start (it ended)");
            m_client.disconnectFromHost();
            QThread::msleep(10);
            if (timer.elapsed() > 3600000)
                fail("server start (no answer in an hour)");
        }
        return ms(timer);
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_client.disconnectFromHost();
        m_process.terminate();
        if (!m_process.waitForFinished(600000))
            m_process.kill();
        m_process.waitForFinished();
        s_runningServer = 0;
    }

    ZeltoClient &client() { return m_client; }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return m_port; }

    QVariant ok(const QString &name, const QVariantList &params = {})
    {
        if (!call(m_client, name, params, 3600000))
            fail(qPrintable(name));
        return m_client.result();
    }

    // Wall time of one call and its result.
    double timed(const QString &name, const QVariantList &params, QVariant *result = nullptr)
    {
        QElapsedTimer timer;
        timer.start();
        const QVariant value = ok(name, params);
        const double elapsed = ms(timer);
        if (result)
            *result = value;
        return elapsed;
    }

private:
    QString m_home;
    quint16 m_port;
    QProcess m_process;
    ZeltoClient m_client;
};

QString ServerProcess::s_program = QStringLiteral(ORVEX_SERVER_PATH);


// A second client calling getVersion every 50 ms on a thread of its own,
// from its start until finish(): the longest it waited for an answer.
class Waiter : public QThread
{
public:
    explicit Waiter(quint16 port) : m_port(port) { start(); }
    ~Waiter() override { finish(); }

    // Stops after the call under way; the longest wait in ms.
    double finish()
    {
        m_stop = true;
        wait();
        return m_longest;
    }
    int calls() const { return m_calls; }

protected:
    void run() override
    {
        ZeltoClient client;
        bool connected = false;
        while (!m_stop) {
            if (!connected) {
                client.connectToHost(QStringLiteral("127.0.0.1"), m_port);
                connected = client.waitForConnected(1000);
                if (!connected) {
                    QThread::msleep(20);
                    continue;
                }
            }
            QElapsedTimer timer;
            timer.start();
            if (!call(client, QStringLiteral("getVersion"), {}, 3600000)) {
                client.disconnectFromHost();
                connected = false;
                continue;
            }
            m_longest = qMax(m_longest, ms(timer));
            ++m_calls;
            QThread::msleep(50);
        }
    }

private:
    quint16 m_port;
    std::atomic_bool m_stop{false};
    double m_longest = 0;
    int m_calls = 0;
};

// ---------------------------------------------------------------------------
// Floors through SQLite itself, on a connection of the benchmark's own.

class Sqlite
{
public:
    explicit Sqlite(const QString &path, bool readOnly = true)
    {
        const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr) != SQLITE_OK)
            fail("sqlite3 open");
        sqlite3_busy_timeout(m_db, 600000);
    }
    ~Sqlite() { sqlite3_close(m_db); }

    void exec(const char *statement)
    {
        if (sqlite3_exec(m_db, statement, nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", statement, sqlite3_errmsg(m_db));
            std::exit(1);
        }
    }

    // Runs a statement with the binds (ints and byte arrays), reading every
    // column of every row; the rows' bytes (blobs: their lengths) are summed
    // into *bytes, the first row's blobs kept in *firstRow.
    int run(const char *statement, const QVariantList &binds = {}, qint64 *bytes = nullptr,
            QList<QByteArray> *firstRow = nullptr)
    {
        sqlite3_stmt *query = nullptr;
        if (sqlite3_prepare_v2(m_db, statement, -1, &query, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", statement, sqlite3_errmsg(m_db));
            std::exit(1);
        }
        for (int i = 0; i < binds.size(); ++i) {
            const QVariant &value = binds.at(i);
            if (value.userType() == QMetaType::QByteArray) {
                const QByteArray bytesToBind = value.toByteArray();
                sqlite3_bind_blob(query, i + 1, bytesToBind.constData(), bytesToBind.size(), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int64(query, i + 1, value.toLongLong());
            }
        }
        int rows = 0;
        int code;
        while ((code = sqlite3_step(query)) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(query); ++c) {
                const int type = sqlite3_column_type(query, c);
                const void *data = type == SQLITE_BLOB ? sqlite3_column_blob(query, c)
                                                       : static_cast<const void *>(sqlite3_column_text(query, c));
                const int size = sqlite3_column_bytes(query, c);
                if (bytes)
                    *bytes += size;
                if (firstRow && rows == 0)
                    firstRow->append(type == SQLITE_NULL ? QByteArray()
                                                         : QByteArray(static_cast<const char *>(data), size));
            }
            ++rows;
        }
        if (code != SQLITE_DONE) {
            std::fprintf(stderr, "%s: %s\n", statement, sqlite3_errmsg(m_db));
            std::exit(1);
        }
        sqlite3_finalize(query);
        return rows;
    }

    double timedRun(const char *statement, const QVariantList &binds = {})
    {
        QElapsedTimer timer;
        timer.start();
        run(statement, binds);
        return ms(timer);
    }

private:
    sqlite3 *m_db = nullptr;
};

// CPU time of writing the reply the server sends for this result.
double replyWritingMs(const QVariant &result)
{
    double bestMs = 1e300;
    for (int i = 0; i < 3; ++i) {
        QByteArray reply;
        const double start = threadCpuMs();
        ZeltoRpcMessage::result("1", result, reply, nullptr);
        bestMs = qMin(bestMs, threadCpuMs() - start);
    }
    return bestMs;
}

double decodeMs(const QList<QByteArray> &blobs)
{
    const double start = threadCpuMs();
    for (const QByteArray &blob : blobs) {
        if (blob.isEmpty())
            continue;
        ZeltoStream stream(blob);
        QVariant value;
        if (stream.init())
            stream >> value;
    }
    return threadCpuMs() - start;
}

// ---------------------------------------------------------------------------
// Growing.

QDateTime midnight(const QDate &day)
{
    return QDateTime(day, QTime(0, 0), Qt::LocalTime);
}

QStringList meterColumns(MeterValues::Kind kind)
{
    const QList<int> systems = MetadataCatalogue::instance().modelSystems(kModel);
    QStringList columns = MeterValues::columns(kind, systems);
    // The calculators of this model report masses, not volumes.
    for (int system : systems) {
        for (const char *code : {"V1", "V2"})
            columns.removeAll(QStringLiteral("S%1_%2").arg(system).arg(QLatin1String(code)));
    }
    return columns;
}

// The archives of `days` days up to the end of the day before `end`: hourly,
// daily, monthly records and ten current readings (the last hours), as the
// JSON members of a "$tables" object without "info".
QByteArray archivesJson(const QDate &end, int days, int meterNumber)
{
    const MeterValues meter(meterNumber);
    const QDateTime first = midnight(end.addDays(-days));
    const QDateTime lastHour = midnight(end).addSecs(-3600);
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("hour_data"),
                  meter.archive(MeterValues::HourData, meterColumns(MeterValues::HourData), first, lastHour));
    tables.insert(QStringLiteral("day_data"), meter.archive(MeterValues::DayData, meterColumns(MeterValues::DayData),
                                                            first, midnight(end.addDays(-1))));
    const QDate firstMonth(first.date().year(), first.date().month(), 1);
    const QDate lastMonth = QDate(end.year(), end.month(), 1).addMonths(-1);
    if (firstMonth <= lastMonth)
        tables.insert(QStringLiteral("month_data"),
                      meter.archive(MeterValues::MonthData, meterColumns(MeterValues::MonthData), midnight(firstMonth),
                                    midnight(lastMonth)));
    tables.insert(QStringLiteral("current_data"),
                  meter.archive(MeterValues::CurrentData, meterColumns(MeterValues::CurrentData),
                                lastHour.addSecs(-9 * 3600), lastHour));
    QByteArray members;
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        members += '"' + it.key().toLatin1() + "\":" + ZeltoJsonWriter::toJson(QVariant::fromValue(it.value())) + ',';
    }
    return members;
}

QByteArray saveArchivesLine(qint64 id, int nodeId, const QByteArray &members)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + QByteArray::number(id)
        + ",\"method\":\"saveArchives\",\"params\":[{\"$tables\":{" + members
        + "\"info\":{\"$table\":{\"columns\":[\"id\"],\"rows\":[[" + QByteArray::number(nodeId) + "]]}}}}]}\n";
}

// Requests written ahead of their replies, a few at a time, over a socket
// of its own.
class Pipeline
{
public:
    explicit Pipeline(quint16 port)
    {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!m_socket.waitForConnected(30000))
            fail("pipeline connect");
    }

    qint64 nextId() { return ++m_id; }

    // Sends a request line; once `depth` are outstanding, waits for the oldest.
    void send(const QByteArray &line, int depth = 4)
    {
        while (m_outstanding >= depth)
            m_results.append(readOne());
        m_socket.write(line);
        ++m_outstanding;
    }

    QByteArray request(const QString &method, const QVariantList &params)
    {
        QByteArray line;
        QString error;
        if (!ZeltoRpcMessage::request(nextId(), method, params, line, &error))
            fail(qPrintable(error));
        return line + '\n';
    }

    // Every outstanding result, in the order sent (with those read earlier).
    QVariantList drain()
    {
        while (m_outstanding > 0)
            m_results.append(readOne());
        QVariantList results;
        results.swap(m_results);
        return results;
    }

private:
    QVariant readOne()
    {
        while (!m_socket.canReadLine()) {
            m_socket.flush();
            if (!m_socket.waitForReadyRead(3600000))
                fail("pipeline reply");
        }
        const QByteArray line = m_socket.readLine();
        --m_outstanding;
        QVariant message;
        if (!ZeltoJsonReader().read(line, message))
            fail("pipeline reply JSON");
        const QVariantMap map = message.toMap();
        if (map.contains(QStringLiteral("error"))) {
            std::fprintf(stderr, "request failed: %s\n", line.left(400).constData());
            std::exit(1);
        }
        return map.value(QStringLiteral("result"));
    }

    QTcpSocket m_socket;
    qint64 m_id = 0;
    int m_outstanding = 0;
    QVariantList m_results;
};

QVariantMap channelOf(int number)
{
    return {{QStringLiteral("code"), QStringLiteral("COM")},
            {QStringLiteral("port"), QStringLiteral("COM%1").arg(number)},
            {QStringLiteral("deviceId"), QString::number(number)},
            {QStringLiteral("model"), kModel}};
}

// Nodes numbered from `first`, their tasks and `days` days of archives; their ids.
QList<int> growNodes(ServerProcess &server, int first, int count, int days, const QDate &end, int groups)
{
    Pipeline pipe(server.port());
    QList<int> groupIds;
    for (int g = 0; g < groups; ++g)
        pipe.send(pipe.request(QStringLiteral("saveGroup"),
                               {QVariantMap{{QStringLiteral("name"), QStringLiteral("Район %1").arg(g + 1, 4, 10, QLatin1Char('0'))}}}));
    for (const QVariant &id : pipe.drain())
        groupIds.append(id.toInt());

    const QByteArray members = archivesJson(end, days, first);
    QList<int> nodeIds;
    const int batch = 100;
    QElapsedTimer progress;
    progress.start();
    for (int start = 0; start < count; start += batch) {
        const int n = qMin(batch, count - start);
        for (int i = 0; i < n; ++i) {
            const int number = first + start + i;
            QVariantMap node{{QStringLiteral("model_code"), kModel},
                             {QStringLiteral("model_name"), kModelName},
                             {QStringLiteral("number"), number}};
            if (!groupIds.isEmpty())
                node.insert(QStringLiteral("group_id"), groupIds.at((start + i) / kNodesPerGroup % groupIds.size()));
            pipe.send(pipe.request(QStringLiteral("saveNode"), {node}));
        }
        QList<int> ids;
        for (const QVariant &id : pipe.drain())
            ids.append(id.toInt());
        for (int i = 0; i < n; ++i) {
            const int number = first + start + i;
            const QVariantMap task{{QStringLiteral("node_id"), ids.at(i)},
                                   {QStringLiteral("is_main"), 1},
                                   {QStringLiteral("archives"), QStringList{QStringLiteral("currentData"),
                                                                            QStringLiteral("hourData"),
                                                                            QStringLiteral("dayData"),
                                                                            QStringLiteral("monthData")}},
                                   {QStringLiteral("channel"), channelOf(number)}};
            pipe.send(pipe.request(QStringLiteral("saveTask"), {task}));
            pipe.send(saveArchivesLine(pipe.nextId(), ids.at(i), members));
        }
        pipe.drain();
        nodeIds += ids;
        if (progress.elapsed() > 60000) {
            std::fprintf(stderr, "  %d of %d nodes\n", start + n, count);
            progress.restart();
        }
    }
    return nodeIds;
}

QVariantList allNodeIds(ServerProcess &server)
{
    QVariantList ids;
    const ZeltoTable nodes = server.ok(QStringLiteral("getNodes")).value<ZeltoTable>();
    for (int row = 0; row < nodes.rowCount(); ++row) {
        if (nodes.value(row, QStringLiteral("number")).toInt() >= kFirstNumber)
            ids.append(nodes.value(row, QStringLiteral("id")));
    }
    return ids;
}

// ---------------------------------------------------------------------------
// The measurements.

struct Run
{
    Options options;
    QString home;
    QString database;   // SQLite's file, or PostgreSQL's database
    PgTarget pg;        // used: the data are on PostgreSQL
    quint16 port = 0;
    int deepNode = 0;   // the node with options.years of archives
    QDate today = QDate::currentDate();

    QString databaseIni() const { return pg.isUsed() ? pg.iniSection(database) : QString(); }
};

// The floors' own connection to the server's database: SQLite itself, or libpq.
class FloorDb
{
public:
    explicit FloorDb(Run &run)
    {
        if (run.pg.isUsed())
            m_pg.reset(new PgConnection(run.pg.conninfo(run.database)));
        else
            m_sqlite.reset(new Sqlite(run.database));
    }

    int run(const char *statement, const QVariantList &binds = {}, qint64 *bytes = nullptr,
            QList<QByteArray> *firstRow = nullptr)
    {
        return m_pg ? m_pg->run(statement, binds, bytes, firstRow) : m_sqlite->run(statement, binds, bytes, firstRow);
    }

    double timedRun(const char *statement)
    {
        QElapsedTimer timer;
        timer.start();
        run(statement);
        return ms(timer);
    }

    PgConnection *postgres() { return m_pg.data(); }

private:
    QScopedPointer<Sqlite> m_sqlite;
    QScopedPointer<PgConnection> m_pg;
};

qint64 databaseBytes(Run &run)
{
    if (run.pg.isUsed())
        return PgConnection(run.pg.conninfo(run.database)).databaseBytes();
    return QFileInfo(run.database).size();
}

double emptyStartMs(Run &run)
{
    const QByteArray home = qgetenv("ORVEX_HOME");
    double startMs;
    {
        const Home empty;
        const QString database = run.pg.isUsed() ? run.pg.createDatabase(QStringLiteral("orvex_bench_empty")) : QString();
        {
            ServerProcess server(empty.path(), freePort(), run.pg.isUsed() ? run.pg.iniSection(database) : QString());
            server.start();
            server.stop();
            startMs = server.start();
        }
        if (run.pg.isUsed())
            run.pg.dropDatabase(database);
    }
    qputenv("ORVEX_HOME", home);
    return startMs;
}

void measureStartUp(Run &run, ServerProcess &server, double emptyMs)
{
    printHeading("start-up and memory");
    server.stop();
    const double startMs = server.start();
    printFigure(QStringLiteral("start-up, without OPC UA, ms"), number(startMs, "%.0f"),
                QStringLiteral("an empty installation's"), number(emptyMs, "%.0f"), startMs / emptyMs);
    printFigure(QStringLiteral("server resident memory after start, MiB"), number(residentMiB(server.pid())));
    const qint64 size = databaseBytes(run);
    printFigure(run.pg.isUsed() ? QStringLiteral("database size, MiB") : QStringLiteral("database file, MiB"),
                number(size / 1048576.0, "%.0f"), QStringLiteral("per node, KiB"),
                number(size / 1024.0 / qMax(1, run.options.nodes), "%.0f"));
}

void measureLists(Run &run, ServerProcess &server)
{
    printHeading("node and task lists");
    FloorDb db(run);
    Spread getNodes, select;
    QVariant nodes;
    for (int i = 0; i < 5; ++i) {
        getNodes.values.append(server.timed(QStringLiteral("getNodes"), {}, &nodes));
        select.values.append(db.timedRun("SELECT * FROM nodes"));
    }
    const double nodesReply = replyWritingMs(nodes);
    const double nodesFloor = select.best() + nodesReply;
    printFigure(QStringLiteral("getNodes (%1 rows), ms").arg(nodes.value<ZeltoTable>().rowCount()), getNodes.text(),
                QStringLiteral("SELECT * FROM nodes + reply, ms"),
                number(select.best()) + QLatin1Char('+') + number(nodesReply), getNodes.best() / nodesFloor);

    Spread getTasks, selectTasks;
    QVariant tasks;
    for (int i = 0; i < 5; ++i) {
        getTasks.values.append(server.timed(QStringLiteral("getTasks"), {}, &tasks));
        selectTasks.values.append(db.timedRun("SELECT * FROM tasks"));
    }
    const double tasksReply = replyWritingMs(tasks);
    printFigure(QStringLiteral("getTasks (%1 rows), ms").arg(tasks.value<ZeltoTable>().rowCount()), getTasks.text(),
                QStringLiteral("SELECT * FROM tasks + reply, ms"),
                number(selectTasks.best()) + QLatin1Char('+') + number(tasksReply),
                getTasks.best() / (selectTasks.best() + tasksReply));

    const QVariantList ids = allNodeIds(server);
    Spread getNode, version;
    for (int i = 0; i < 200; ++i) {
        getNode.values.append(server.timed(QStringLiteral("getNode"), {ids.at(int(quint64(i) * 7919 % ids.size()))}));
        version.values.append(server.timed(QStringLiteral("getVersion"), {}));
    }
    printFigure(QStringLiteral("getNode, ms"), getNode.text(), QStringLiteral("getVersion, ms"), version.text(),
                getNode.median() / version.median());
}

void measureReports(Run &run, ServerProcess &server)
{
    printHeading("reports");
    FloorDb db(run);
    const QDate monthStart = QDate(run.today.year(), run.today.month(), 1).addMonths(-1);
    const QDate monthEnd = monthStart.addMonths(1).addDays(-1);
    const QVariantList ids = allNodeIds(server);

    Spread report, floor;
    for (int i = 0; i < 7; ++i) {
        const QVariant id = ids.at(int(quint64(i) * 104729 % ids.size()));
        report.values.append(server.timed(QStringLiteral("getReportData"), {id, monthStart, monthEnd}));
        QList<QByteArray> blobs;
        QElapsedTimer timer;
        timer.start();
        db.run("SELECT current_data, month_data, day_data, hour_data FROM nodes_data WHERE id = ?", {id}, nullptr,
               &blobs);
        floor.values.append(ms(timer) + decodeMs(blobs));
    }
    printFigure(QStringLiteral("getReportData, one node, one month, ms"), report.text(),
                QStringLiteral("reading and decoding its archives, ms"), number(floor.best()),
                report.best() / floor.best());

    // Group totals use the daily and monthly records and the current data.
    // Five calls, each beside a read of those rows: best and median.
    Spread read, totalsMs, totalsCpu, totalsAllCpu;
    qint64 bytes = 0;
    QVariant totals;
    Waiter waiter(run.port);
    QThread::msleep(200);
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        bytes = 0;
        db.run("SELECT current_data, month_data, day_data FROM nodes_data", {}, &bytes);
        read.values.append(ms(timer));
        const double cpuBefore = mainThreadCpuMs(server.pid()), allBefore = processCpuMs(server.pid());
        totalsMs.values.append(server.timed(QStringLiteral("getGroupTotals"), {ids, monthStart, monthEnd}, &totals));
        totalsCpu.values.append(mainThreadCpuMs(server.pid()) - cpuBefore);
        totalsAllCpu.values.append(processCpuMs(server.pid()) - allBefore);
    }
    const double longest = waiter.finish();
    printFigure(QStringLiteral("getGroupTotals, %1 nodes, one month, ms").arg(totals.value<ZeltoTable>().rowCount()),
                totalsMs.text(),
                QStringLiteral("reading the rows they use (%1 MB), ms").arg(bytes / 1e6, 0, 'f', 0), read.text(),
                totalsMs.best() / read.best());
    // On a machine shared with other work the wall time waits for the CPU too.
    printFigure(QStringLiteral("  CPU of the server's main thread, ms"), totalsCpu.text(),
                QStringLiteral("reading the rows they use, ms"), read.text(), totalsCpu.best() / read.best());
    // The workers' threads too (the process's clock ticks: 10 ms steps), and the other client's calls.
    printFigure(QStringLiteral("  CPU of the whole server, ms"), totalsAllCpu.text(),
                QStringLiteral("reading the rows they use, ms"), read.text(), totalsAllCpu.best() / read.best());
    printFigure(QStringLiteral("  longest wait of another client, ms"), number(longest, "%.0f"),
                QStringLiteral("calls every 50 ms"), QString::number(waiter.calls()));
}

// A durable UPDATE of a node's row, the floor of a save: in a database of
// its own on the same disk, set up as the server sets up its file (on
// PostgreSQL: a table of its own in the server's database).
class SaveFloor
{
public:
    SaveFloor(Run &run, const QList<QByteArray> &row)
        : m_path(run.home + QStringLiteral("/floor.db"))
    {
        if (run.pg.isUsed()) {
            m_pg.reset(new PgConnection(run.pg.conninfo(run.database)));
            m_pg->exec("DROP TABLE IF EXISTS bench_floor");
            // The work is the backend's: its CPU time (0 when it runs on another machine).
            const qint64 backend = m_pg->backendPid();
            m_cpuMs = [backend]() { return mainThreadCpuMs(backend); };
        } else {
            removeFiles();
            m_sqlite.reset(new Sqlite(m_path, false));
            // The pointer map that incremental auto-vacuum keeps is written
            // with every overflow page, as in the server's file. Not the
            // server's page cache: a new connection filling a large one pays
            // for fresh memory on each write that the server's, long filled,
            // does not.
            for (const char *pragma : {Schema::PragmaAutoVacuum, Schema::PragmaJournalMode,
                                       Schema::PragmaJournalSizeLimit, Schema::PragmaSecureDelete})
                m_sqlite->exec(pragma);
            m_cpuMs = threadCpuMs;
        }
        const QByteArray blob = m_pg ? "BYTEA" : "BLOB";
        QByteArray create = "CREATE TABLE bench_floor (id INTEGER UNIQUE NOT NULL";
        for (const char *column : {"current_data", "month_data", "month_totals", "day_data", "day_totals", "hour_data",
                                   "fill_data", "check_params"})
            create += ", " + QByteArray(column) + ' ' + blob;
        create += ')';
        runStatement(create.constData());
        for (const QByteArray &column : row)
            m_binds.append(column);
        runStatement("INSERT INTO bench_floor VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?)", m_binds);
    }
    ~SaveFloor()
    {
        if (m_pg) {
            m_pg->exec("DROP TABLE bench_floor");
        } else {
            m_sqlite.reset();
            removeFiles();
        }
    }

    // The row with `extra` bytes more of hourly data: wall time and CPU, in ms.
    void update(int extra, Spread &wall, Spread &cpu)
    {
        QVariantList grown = m_binds;
        grown[5] = m_binds.value(5).toByteArray() + QByteArray(extra, char(extra));
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = m_cpuMs();
        // Each statement its own transaction, committed durably (on PostgreSQL,
        // synchronous_commit's default).
        runStatement("UPDATE bench_floor SET current_data = ?, month_data = ?, month_totals = ?, day_data = ?, "
                     "day_totals = ?, hour_data = ?, fill_data = ?, check_params = ? WHERE id = 1",
                     grown);
        cpu.values.append(m_cpuMs() - cpuStart);
        wall.values.append(ms(timer));
    }

private:
    void runStatement(const char *statement, const QVariantList &binds = {})
    {
        m_pg ? m_pg->run(statement, binds) : m_sqlite->run(statement, binds);
    }
    void removeFiles()
    {
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(m_path + QLatin1String(suffix));
    }

    const QString m_path;
    QScopedPointer<Sqlite> m_sqlite;
    QScopedPointer<PgConnection> m_pg;
    std::function<double()> m_cpuMs;
    QVariantList m_binds;
};

// Saves of one new day each (24 hourly rows, the daily row, a current
// reading) from firstNewDay on into the node's archives of `days` days, each
// followed by the floor's UPDATE of the node's row as it was before them, a
// day longer each time: taken in turns, so that both meet the same machine;
// eleven of each counted, after one that warms up.
void measureSave(Run &run, ServerProcess &server, int nodeId, const QDate &firstNewDay, int days)
{
    QList<QByteArray> row;
    {
        FloorDb db(run);
        db.run("SELECT current_data, month_data, month_totals, day_data, day_totals, hour_data, fill_data, check_params "
               "FROM nodes_data WHERE id = ?",
               {nodeId}, nullptr, &row);
    }
    qint64 rowBytes = 0;
    for (const QByteArray &column : row)
        rowBytes += column.size();
    const int dayBytes = row.value(5).size() / days + 1;
    SaveFloor floorRow(run, row);

    QScopedPointer<PgConnection> wal(run.pg.isUsed() ? new PgConnection(run.pg.conninfo(run.database)) : nullptr);
    const auto writtenSoFar = [&]() { return wal ? wal->walBytes() : writtenBytes(server.pid()); };
    const MeterValues meter(kFirstNumber);
    Spread save, cpu, update, updateCpu;
    QVector<double> written;
    for (int i = 0; i < 12; ++i) {
        const QDateTime day = midnight(firstNewDay.addDays(i));
        ZeltoTable info;
        info.appendRow(QVariantMap{{QStringLiteral("id"), nodeId}});
        ZeltoTableMap tables{{QStringLiteral("info"), info}};
        tables.insert(QStringLiteral("hour_data"), meter.archive(MeterValues::HourData, meterColumns(MeterValues::HourData),
                                                                 day, day.addSecs(23 * 3600)));
        tables.insert(QStringLiteral("day_data"),
                      meter.archive(MeterValues::DayData, meterColumns(MeterValues::DayData), day, day));
        tables.insert(QStringLiteral("current_data"),
                      meter.archive(MeterValues::CurrentData, meterColumns(MeterValues::CurrentData),
                                    day.addSecs(23 * 3600), day.addSecs(23 * 3600)));
        const qint64 before = writtenSoFar();
        const double cpuBefore = mainThreadCpuMs(server.pid());
        save.values.append(server.timed(QStringLiteral("saveArchives"), {QVariant::fromValue(tables)}));
        cpu.values.append(mainThreadCpuMs(server.pid()) - cpuBefore);
        written.append((writtenSoFar() - before) / 1e6);
        // The server writes its log back on a thread of its own after some
        // saves: the UPDATE waits until that is done, so as not to share the disk with it.
        for (qint64 seen = -1, now = writtenBytes(server.pid()); now != seen; now = writtenBytes(server.pid())) {
            seen = now;
            QThread::msleep(20);
        }
        floorRow.update(dayBytes * (i + 1), update, updateCpu);
    }
    // The first of each only fills caches (the server's, the new file's): not counted.
    for (Spread *spread : {&save, &cpu, &update, &updateCpu})
        spread->values.removeFirst();
    written.removeFirst();
    std::sort(written.begin(), written.end());

    printFigure(QStringLiteral("saveArchives of one day, ms"), save.text(),
                QStringLiteral("durable UPDATE of the row, ms"), update.text(), save.median() / update.median());
    printFigure(QStringLiteral("  CPU of the server's main thread, ms"), cpu.text(), QStringLiteral("CPU of the UPDATE, ms"),
                updateCpu.text(), cpu.median() / updateCpu.median());
    printFigure(run.pg.isUsed() ? QStringLiteral("  PostgreSQL's log per save, MB")
                                : QStringLiteral("  bytes the server wrote per save, MB"),
                number(written.at(written.size() / 2), "%.2f"),
                QStringLiteral("the row's stored bytes, MB"), number(rowBytes / 1e6, "%.2f"),
                written.at(written.size() / 2) / (rowBytes / 1e6));
}

// first, or the day after the node's last daily row when a run on the same
// installation has saved that far already: every measured save brings a new day.
QDate newDay(ServerProcess &server, int nodeId, const QDate &first)
{
    const QDate last = server.ok(QStringLiteral("getNode"), {nodeId}).toMap().value(QStringLiteral("last_day")).toDate();
    return last.isValid() && last >= first ? last.addDays(1) : first;
}

void measureFiveYearSave(Run &run, ServerProcess &server)
{
    printHeading(qPrintable(QStringLiteral("one-day save into %1 years of archives").arg(run.options.years)));
    // Days after the archives, one per save (before the polls, which
    // would bring a current reading of today).
    measureSave(run, server, run.deepNode, newDay(server, run.deepNode, run.today.addDays(-40)), run.options.years * 365);
}

// The same into a node of the installation, for what a deeper archive
// costs: days after the grown ones (after the polls, which would otherwise
// find them in the future).
void measureOneYearSave(Run &run, ServerProcess &server)
{
    printHeading("the same into one of the nodes");
    const int nodeId = allNodeIds(server).last().toInt();
    measureSave(run, server, nodeId, newDay(server, nodeId, run.today.addDays(1)), run.options.days);
}

void measurePolls(Run &run, ServerProcess &server)
{
    printHeading("polling");
    // The floor first: data of the kind a poll brings saved over the wire as
    // fast as the server takes it, into each node's archives (the last two
    // hours again, and a current reading at midnight, before any poll's).
    const QVariantList ids = allNodeIds(server);
    const int count = run.options.pollCount > 0 ? run.options.pollCount : qMin(run.options.nodes, 1000);
    const MeterValues meter(kFirstNumber);
    const QDateTime day = midnight(run.today);
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("hour_data"), meter.archive(MeterValues::HourData, meterColumns(MeterValues::HourData),
                                                             day.addSecs(-7200), day.addSecs(-3600)));
    tables.insert(QStringLiteral("current_data"),
                  meter.archive(MeterValues::CurrentData, meterColumns(MeterValues::CurrentData), day, day));
    QByteArray members;
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it)
        members += '"' + it.key().toLatin1() + "\":" + ZeltoJsonWriter::toJson(QVariant::fromValue(it.value())) + ',';
    const int saves = qMin(int(ids.size()), count);
    Pipeline pipe(server.port());
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < saves; ++i)
        pipe.send(saveArchivesLine(pipe.nextId(), ids.at(i).toInt(), members));
    pipe.drain();
    const double savesPerSecond = saves / (ms(timer) / 1000);

    QProcess simulator;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVEX_HOME"), run.home);
    env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), run.home);
    simulator.setProcessEnvironment(env);
    simulator.start(QStringLiteral(ORVEX_DEVICE_SIM_PATH),
                    {QStringLiteral("-p"), QStringLiteral("0"), QStringLiteral("-a"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--instant"), QStringLiteral("--depth"), QStringLiteral("1"),
                     QStringLiteral("--overlap"), QStringLiteral("1")});
    if (!simulator.waitForReadyRead(30000))
        fail("simulator start");
    const QByteArray listening = simulator.readLine();
    QFile varnel(run.home + QStringLiteral("/varnel.ini"));
    varnel.open(QIODevice::WriteOnly);
    varnel.write("[Server]\nport=" + listening.mid(listening.indexOf('=') + 1).trimmed() + "\n");
    varnel.close();

    const ZeltoTable tasks = server.ok(QStringLiteral("getTasks")).value<ZeltoTable>();
    QSet<int> taskIds;
    for (int row = 0; row < tasks.rowCount() && taskIds.size() < count; ++row) {
        if (tasks.value(row, QStringLiteral("channel_code")).toString() == QLatin1String("COM"))
            taskIds.insert(tasks.value(row, QStringLiteral("id")).toInt());
    }
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
    timer.restart();
    for (int id : qAsConst(taskIds))
        pipe.send(pipe.request(QStringLiteral("startTask"), {id}), 16);
    pipe.drain();
    int done = 0;
    int failed = 0;
    while (done < taskIds.size()) {
        QThread::msleep(200);
        done = failed = 0;
        const ZeltoTable now = server.ok(QStringLiteral("getTasks")).value<ZeltoTable>();
        for (int row = 0; row < now.rowCount(); ++row) {
            if (!taskIds.contains(now.value(row, QStringLiteral("id")).toInt()))
                continue;
            if (now.value(row, QStringLiteral("is_run")).isNull()
                && now.value(row, QStringLiteral("last_exec")).toDateTime() >= started) {
                ++done;
                failed += now.value(row, QStringLiteral("last_error")).isNull() ? 0 : 1;
            }
        }
        if (timer.elapsed() > 3600000)
            fail("polls (not done in an hour)");
    }
    const double pollsPerSecond = taskIds.size() / (ms(timer) / 1000);
    simulator.terminate();
    simulator.waitForFinished(30000);
    printFigure(QStringLiteral("polls per second (%1 polls, %2 failed)").arg(taskIds.size()).arg(failed),
                number(pollsPerSecond), QStringLiteral("saves of such data per second"), number(savesPerSecond),
                savesPerSecond / pollsPerSecond);
}

void measureCompaction(Run &run, ServerProcess &server)
{
    printHeading("compaction");
    if (run.pg.isUsed()) {
        std::printf("  skipped: PostgreSQL keeps its space itself (autovacuum)\n");
        return;
    }
    const QString marker = QStringLiteral("2000-01-01T00:00:00.000");
    server.ok(QStringLiteral("setSetting"), {QStringLiteral("lastCompact"), marker});
    server.stop();
    // The floor: a copy of the file.
    const QString copy = run.home + QStringLiteral("/copy.db");
    QFile::remove(copy);
    QElapsedTimer timer;
    timer.start();
    QProcess cp;
    cp.start(QStringLiteral("cp"), {run.database, copy});
    cp.waitForFinished(-1);
    QProcess sync;
    sync.start(QStringLiteral("sync"), {copy});
    sync.waitForFinished(-1);
    const double copyMs = ms(timer);
    QFile::remove(copy);
    const double sizeMb = QFileInfo(run.database).size() / 1048576.0;

    timer.restart();
    // The waiter starts with the server: compaction runs right after start-up.
    Waiter *waiter = new Waiter(run.port);
    server.start();
    for (;;) {
        const QString last = server.ok(QStringLiteral("getSetting"), {QStringLiteral("lastCompact")}).toString();
        if (!last.isEmpty() && !last.startsWith(QLatin1String("2000")))
            break;
        QThread::msleep(100);
    }
    const double compactMs = ms(timer);
    const double longest = waiter->finish();
    delete waiter;
    printFigure(QStringLiteral("start-up with compaction of %1 MiB, ms").arg(sizeMb, 0, 'f', 0),
                number(compactMs, "%.0f"), QStringLiteral("a copy of the file, ms"), number(copyMs, "%.0f"),
                compactMs / copyMs);
    printFigure(QStringLiteral("  longest wait of another client, ms"), number(longest, "%.0f"));
}

void measureOpc(Run &run, ServerProcess &server)
{
    printHeading("OPC UA");
    QProcess node;
    node.start(QStringLiteral("node"), {QStringLiteral("--version")});
    if (!node.waitForFinished(30000) || node.exitCode() != 0) {
        std::printf("  skipped: no Node.js\n");
        return;
    }
    const quint16 opcPort = freePort();
    server.ok(QStringLiteral("setSetting"), {QStringLiteral("opcAnonymous"), true});
    server.ok(QStringLiteral("setSetting"), {QStringLiteral("opcPort"), opcPort});
    server.stop();
    // Start-up with the gateway: the server's address space is built before
    // it answers, the gateway's after.
    Waiter *waiter = new Waiter(run.port);
    QElapsedTimer timer;
    timer.start();
    const double answerMs = server.start();
    while (!accepts(opcPort)) {
        QThread::msleep(50);
        if (timer.elapsed() > 3600000)
            fail("OPC UA listening");
    }
    const double listenMs = ms(timer);
    const double longest = waiter->finish();
    delete waiter;
    QThread::sleep(2);
    const QList<qint64> gateways = childrenOf(server.pid());
    printFigure(QStringLiteral("start-up with OPC UA: answering, ms"), number(answerMs, "%.0f"));
    printFigure(QStringLiteral("  gateway listening, ms"), number(listenMs, "%.0f"));
    printFigure(QStringLiteral("  longest wait of another client, ms"), number(longest, "%.0f"));
    printFigure(QStringLiteral("  server resident memory, MiB"), number(residentMiB(server.pid())),
                QStringLiteral("gateway, MiB"), number(gateways.isEmpty() ? 0 : residentMiB(gateways.first())));

    // The gateway started again while clients work: a changed setting (flipped, so that a
    // home used before changes it too).
    // Never set, getSetting refuses: the setting is then its default, false.
    const bool trusted = call(server.client(), QStringLiteral("getSetting"), {QStringLiteral("opcTrustClients")}, 60000)
                         && server.client().result().toBool();
    Waiter second(run.port);
    QThread::msleep(200);
    timer.restart();
    server.ok(QStringLiteral("setSetting"), {QStringLiteral("opcTrustClients"), !trusted});
    while (accepts(opcPort) && timer.elapsed() < 60000)
        QThread::msleep(20);
    while (!accepts(opcPort)) {
        QThread::msleep(50);
        if (timer.elapsed() > 3600000)
            fail("OPC UA listening again");
    }
    printFigure(QStringLiteral("gateway restarted by a setting, listening, ms"), number(ms(timer), "%.0f"));
    printFigure(QStringLiteral("  longest wait of another client, ms"), number(second.finish(), "%.0f"));
    server.ok(QStringLiteral("setSetting"), {QStringLiteral("opcPort"), QVariant()});
}

bool parseOptions(const QStringList &arguments, Options &options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        const QString value = arguments.value(i + 1);
        if (a == QLatin1String("--nodes") && value.toInt() > 0) {
            options.nodes = value.toInt();
            ++i;
        } else if (a == QLatin1String("--days") && value.toInt() > 0) {
            options.days = value.toInt();
            ++i;
        } else if (a == QLatin1String("--years") && value.toInt() > 0 && value.toInt() <= 50) {
            options.years = value.toInt();
            ++i;
        } else if (a == QLatin1String("--polls") && value.toInt() > 0) {
            options.pollCount = value.toInt();
            ++i;
        } else if (a == QLatin1String("--home") && !value.isEmpty()) {
            options.home = QFileInfo(value).absoluteFilePath();
            ++i;
        } else if (a == QLatin1String("--server") && !value.isEmpty()) {
            options.server = QFileInfo(value).absoluteFilePath();
            ++i;
        } else if (a == QLatin1String("--no-opc")) {
            options.opc = false;
        } else if (a == QLatin1String("--no-polls")) {
            options.polls = false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    QCoreApplication app(argc, argv);
    std::atexit(stopRunningServer);
    Run run;
    QStringList arguments = app.arguments();
    if (!run.pg.parse(arguments) || !parseOptions(arguments, run.options)) {
        std::fprintf(stderr, "usage: bench_scale [--nodes N] [--days D] [--years Y] [--home DIR] [--server PATH] "
                             "[--no-opc] [--no-polls] [--polls P] [--pg | --connection CONNINFO]\n");
        return 3;
    }
    // The metadata files the catalogue reads (the model's systems) come with the home.
    QScopedPointer<Home> temporary;
    if (run.options.home.isEmpty()) {
        temporary.reset(new Home);
        run.home = temporary->path();
    } else {
        run.home = run.options.home;
        QDir().mkpath(run.home + QStringLiteral("/metadata"));
        const QDir metadata(QStringLiteral(ORVEX_METADATA_DIR));
        for (const QString &name : metadata.entryList(QDir::Files))
            QFile::copy(metadata.filePath(name), run.home + QStringLiteral("/metadata/") + name);
        qputenv("ORVEX_HOME", run.home.toUtf8());
        ZeltoEnvironment::set("ORVEX_HOME", run.home);
    }
    ServerProcess::s_program = run.options.server;
    bool grown;
    if (!run.pg.isUsed()) {
        run.database = run.home + QStringLiteral("/telvan.db");
        grown = QFile::exists(run.database);
    } else if (run.pg.isThrowaway()) {
        run.database = run.pg.createDatabase(QStringLiteral("orvex_bench"));
        grown = false;
    } else {
        run.database = run.pg.namedDatabase();
        grown = PgConnection(run.pg.conninfo(run.database)).value("SELECT to_regclass('nodes') IS NOT NULL") == "t";
    }
    run.port = freePort();
    if (MetadataCatalogue::instance().modelSystems(kModel).isEmpty())
        fail("the metadata catalogue");
    std::printf("bench_scale: %d nodes, %d days of archives each, home %s\n", run.options.nodes, run.options.days,
                qPrintable(run.home));
    std::printf("database: %s\n", run.pg.isUsed() ? qPrintable(run.pg.describe() + QLatin1Char('/') + run.database)
                                                   : "SQLite, the home's file");

    const double emptyMs = emptyStartMs(run);
    ServerProcess server(run.home, run.port, run.databaseIni());
    server.start();
    if (!grown) {
        printHeading("growing");
        // Nothing due at start-up but what is measured: no backups, compaction done.
        server.ok(QStringLiteral("setSetting"), {QStringLiteral("backupEnabled"), false});
        server.ok(QStringLiteral("setSetting"), {QStringLiteral("lastCompact"), QDateTime::currentDateTime()});
        QElapsedTimer timer;
        timer.start();
        const int groups = qMax(1, (run.options.nodes + kNodesPerGroup - 1) / kNodesPerGroup);
        growNodes(server, kFirstNumber, run.options.nodes, run.options.days, run.today, groups);
        const double growMs = ms(timer);
        printFigure(QStringLiteral("grown in, s"), number(growMs / 1000, "%.0f"), QStringLiteral("per node, ms"),
                    number(growMs / run.options.nodes));
        // One more node, outside the groups, with years of archives.
        timer.restart();
        run.deepNode = growNodes(server, kFirstNumber - 1, 1, run.options.years * 365, run.today.addDays(-40), 0).value(0);
        printFigure(QStringLiteral("node with %1 years grown in, s").arg(run.options.years), number(ms(timer) / 1000));
    } else {
        std::printf("reusing the installation in %s\n", qPrintable(run.database));
        // The saves measured below bring days the last run brought already,
        // before the current readings it left: the clock check would refuse them.
        server.ok(QStringLiteral("setSetting"), {QStringLiteral("checkDateReset"), false});
    }
    run.deepNode = server.ok(QStringLiteral("getNodes")).value<ZeltoTable>().value(0, QStringLiteral("id")).toInt();
    {
        const ZeltoTable nodes = server.ok(QStringLiteral("getNodes")).value<ZeltoTable>();
        for (int row = 0; row < nodes.rowCount(); ++row) {
            if (nodes.value(row, QStringLiteral("number")).toInt() == kFirstNumber - 1)
                run.deepNode = nodes.value(row, QStringLiteral("id")).toInt();
        }
    }

    measureStartUp(run, server, emptyMs);
    measureLists(run, server);
    measureReports(run, server);
    measureFiveYearSave(run, server);
    if (run.options.polls)
        measurePolls(run, server);
    measureOneYearSave(run, server);
    measureCompaction(run, server);
    if (run.options.opc)
        measureOpc(run, server);
    server.stop();
    printTimeZone();
    return 0;
}
