// Archives of one node with five years of hourly records (43,800 rows of a
// "date" column and the parameters of a meter with four heating systems, as
// the device polling simulator reports them), five years of daily and
// monthly records and ten current readings. Runs everything once for each
// version of the stored format (the server told by ORVEX_STREAM_VERSION)
// and prints the figures side by side:
// - where the time of saving one new day goes, step by step, in process;
// - end to end over the wire against the real orvex-server: saveArchives of
//   one new day (24 hourly rows, 1 daily row, 1 current reading), getArchive
//   of one month and of the whole hourly archive, checkArchives with three
//   criteria, each with the CPU time the server's main thread and the
//   client spent on it;
// - the size of the database file per node.
// Each figure is the best of several runs.

#include "archivechecks.h"
#include "archivedates.h"
#include "archivestore.h"
#include "benchtables.h"
#include "database.h"
#include "nodes.h"
#include "transactionscope.h"
#include "zelto.h"
#include "zeltoclient.h"
#include "zeltojsonwriter.h"
#include "zeltostream.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>
#include <limits>

#include <malloc.h>
#include <time.h>

namespace {

const int kYears = 5;
const int kDays = kYears * 365;
const int kMonths = kYears * 12;
const int kRuns = 5;
const QDateTime kStart(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime);

// The figures of one run, by name, in the order they were taken.
typedef QVector<QPair<QString, QString>> Figures;

void put(Figures &figures, const QString &name, const char *format, double value)
{
    figures.append({name, QString::asprintf(format, value)});
}

void heading(Figures &figures, const QString &name)
{
    figures.append({name, QString()});
}

// Rows of a kind from first, count of them, as the meter reports them.
ZeltoTable archive(MeterValues::Kind kind, const QDateTime &first, int count)
{
    const QDateTime last = kind == MeterValues::MonthData ? first.addMonths(count - 1)
                           : kind == MeterValues::DayData ? first.addDays(count - 1)
                                                          : first.addSecs(3600LL * (count - 1));
    return BenchTables::meter().archive(kind, MeterValues::columns(kind, BenchTables::systems()), first, last);
}

ZeltoTable infoTable(int nodeId)
{
    ZeltoTable info;
    info.appendRow(QVariantMap{{QStringLiteral("id"), nodeId}});
    return info;
}

// One new day after day `day` of the archive: 24 hourly rows, the daily row
// and one current reading.
ZeltoTableMap oneDay(int nodeId, int day)
{
    const QDateTime midnight = kStart.addDays(day);
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("info"), infoTable(nodeId));
    tables.insert(QStringLiteral("hour_data"), archive(MeterValues::HourData, midnight, 24));
    tables.insert(QStringLiteral("day_data"), archive(MeterValues::DayData, midnight, 1));
    tables.insert(QStringLiteral("current_data"), archive(MeterValues::CurrentData, midnight.addSecs(23 * 3600), 1));
    return tables;
}

double ms(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// CPU time of the calling thread, printed beside the wall time of the
// in-process save: other work on the machine stretches wall times.
double cpuMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The least CPU time of the calling thread that work takes in kRuns runs.
double bestCpu(const std::function<void()> &work)
{
    double result = std::numeric_limits<double>::max();
    for (int i = 0; i < kRuns; ++i) {
        const double start = cpuMs();
        work();
        result = qMin(result, cpuMs() - start);
    }
    return result;
}

double best(int runs, const std::function<double(int)> &run)
{
    double result = std::numeric_limits<double>::max();
    for (int i = 0; i < runs; ++i)
        result = qMin(result, run(i));
    return result;
}

void fail(const char *what)
{
    std::fprintf(stderr, "%s failed: %s\n", what, qPrintable(ZeltoSystem::instance()->lastError()));
    std::exit(1);
}

// Sets up the node in process and measures the steps of a one-day save.
int prepareAndBreakDown(const QString &home, Figures &figures)
{
    qputenv("ORVEX_HOME", home.toUtf8());
    if (!Database::init())
        fail("database");
    const qint64 emptySize = QFileInfo(home + QStringLiteral("/telvan.db")).size();
    Database::setSetting(QStringLiteral("currentDataCount"), 10);
    Database::setSetting(QStringLiteral("checkDateReset"), true);
    const int nodeId = Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                    {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                                    {QStringLiteral("number"), 1}});
    if (nodeId < 0)
        fail("node");

    ZeltoTableMap tables;
    tables.insert(QStringLiteral("info"), infoTable(nodeId));
    tables.insert(QStringLiteral("hour_data"), BenchTables::fiveYears());
    tables.insert(QStringLiteral("day_data"), archive(MeterValues::DayData, kStart, kDays));
    tables.insert(QStringLiteral("month_data"), archive(MeterValues::MonthData, kStart, kMonths));
    tables.insert(QStringLiteral("current_data"), archive(MeterValues::CurrentData, kStart.addDays(kDays - 1), 10));
    QElapsedTimer timer;
    timer.start();
    if (!ArchiveStore::saveArchives(tables, false))
        fail("first save");
    put(figures, QStringLiteral("first save of five years, in process, ms"), "%.0f", ms(timer));

    // The steps of merging one day into the hourly archive, as the save does them.
    const QString nodes = QStringLiteral("nodes");
    const QString hour = QStringLiteral("hour_data");
    QByteArray blob;
    const double readMs = best(kRuns, [&](int) {
        QElapsedTimer t;
        t.start();
        QSqlQuery query(QSqlDatabase::database());
        query.setForwardOnly(true);
        query.exec(QStringLiteral("SELECT hour_data FROM nodes_data WHERE id = %1").arg(nodeId));
        query.next();
        blob = query.value(0).toByteArray();
        return ms(t);
    });
    QVariant decoded;
    const double decodeMs = best(kRuns, [&](int) {
        QElapsedTimer t;
        t.start();
        ZeltoStream stream(blob);
        stream >> decoded;
        return ms(t);
    });
    const ZeltoTable stored = decoded.value<ZeltoTable>();
    const ZeltoTable day = oneDay(nodeId, kDays).value(hour);
    ZeltoTable merged;
    const double mergeMs = best(kRuns, [&](int) {
        merged = stored;
        QElapsedTimer t;
        t.start();
        ArchiveDates::merge(merged, day);
        return ms(t);
    });
    const double libraryMergeMs = best(kRuns, [&](int) {
        ZeltoTable plain = stored;
        QElapsedTimer t;
        t.start();
        plain.merge(day, ArchiveDates::column());
        plain.sort(ArchiveDates::column());
        return ms(t);
    });
    const double fillMs = best(kRuns, [&](int) {
        QElapsedTimer t;
        t.start();
        ArchiveChecks::fillEntry(hour, merged);
        return ms(t);
    });
    QByteArray encoded;
    const double encodeMs = best(kRuns, [&](int) {
        QElapsedTimer t;
        t.start();
        encoded = Database::encodeValue(QVariant::fromValue(merged)).toByteArray();
        return ms(t);
    });
    // Rows of another size each time: SQLite overwrites a row of the same
    // size in place, writing only the pages that differ.
    const double writeMs = best(kRuns, [&](int run) {
        ZeltoTable next = merged;
        for (int day = 0; day <= run; ++day)
            ArchiveDates::merge(next, oneDay(nodeId, kDays + 1 + day).value(hour));
        const QByteArray bytes = Database::encodeValue(QVariant::fromValue(next)).toByteArray();
        QElapsedTimer t;
        t.start();
        TransactionScope scope;
        QSqlQuery query(QSqlDatabase::database());
        query.prepare(QStringLiteral("UPDATE nodes_data SET hour_data = ? WHERE id = %1").arg(nodeId));
        query.addBindValue(bytes);
        if (!query.exec() || !scope.commit())
            fail("write");
        return ms(t);
    });
    double saveCpuMs = std::numeric_limits<double>::max();
    const double saveMs = best(kRuns, [&](int run) {
        ZeltoTableMap dayTables = oneDay(nodeId, kDays + 1 + kRuns + run);
        const double cpu = cpuMs();
        QElapsedTimer t;
        t.start();
        if (!ArchiveStore::saveArchives(dayTables, true))
            fail("one-day save");
        saveCpuMs = qMin(saveCpuMs, cpuMs() - cpu);
        return ms(t);
    });
    put(figures, QStringLiteral("hourly archive stored, KiB"), "%.0f", blob.size() / 1024.0);
    put(figures, QStringLiteral("  bytes per double cell"), "%.2f", blob.size() / BenchTables::doubleCells(stored));
    heading(figures, QStringLiteral("one-day save, hourly archive steps (ms):"));
    put(figures, QStringLiteral("  SQLite read"), "%.1f", readMs);
    put(figures, QStringLiteral("  decode"), "%.1f", decodeMs);
    put(figures, QStringLiteral("    CPU"), "%.1f", bestCpu([&] {
        ZeltoStream stream(blob);
        stream >> decoded;
    }));
    put(figures, QStringLiteral("  merge and sort"), "%.1f", mergeMs);
    put(figures, QStringLiteral("  (ZeltoTable::merge and sort)"), "%.1f", libraryMergeMs);
    put(figures, QStringLiteral("  fill scan"), "%.1f", fillMs);
    put(figures, QStringLiteral("  encode"), "%.1f", encodeMs);
    put(figures, QStringLiteral("    CPU"), "%.1f", bestCpu([&] {
        encoded = Database::encodeValue(QVariant::fromValue(merged)).toByteArray();
    }));
    put(figures, QStringLiteral("  SQLite write, with commit"), "%.1f", writeMs);
    put(figures, QStringLiteral("one-day save, all archives, in process, ms"), "%.1f", saveMs);
    put(figures, QStringLiteral("  CPU, ms"), "%.1f", saveCpuMs);

    // What the server does for getArchive of the whole hourly archive: read
    // and decode it, take the range, write the reply's JSON.
    ZeltoTable range;
    const double rangeCpuMs = bestCpu([&] {
        QDateTime from, to;
        range = ArchiveStore::archiveRange(nodeId, hour, from, to);
    });
    QByteArray json;
    const double jsonCpuMs = bestCpu([&] { json = ZeltoJsonWriter::toJson(QVariant::fromValue(range)); });
    heading(figures, QStringLiteral("getArchive of the whole hourly archive, steps (CPU ms):"));
    put(figures, QStringLiteral("  read, decode and take the range"), "%.1f", rangeCpuMs);
    put(figures, QStringLiteral("  JSON of the reply (%1 MB)").arg(json.size() / 1e6, 0, 'f', 1), "%.1f", jsonCpuMs);

    const qint64 size = QFileInfo(home + QStringLiteral("/telvan.db")).size();
    put(figures, QStringLiteral("database file for one node, MiB"), "%.1f", size / 1048576.0);
    put(figures, QStringLiteral("  empty database, MiB"), "%.1f", emptySize / 1048576.0);
    Database::destroy();
    return nodeId;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool call(ZeltoClient &client, const QString &name, const QVariantList &params, int timeoutMs = 120000)
{
    return client.request(name, params) && client.waitForResponse(timeoutMs);
}

// CPU time of a process's main thread, where the server does its work;
// -1 when the system does not tell.
double mainThreadCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    return stat.readAll().split(' ').value(0).toLongLong() / 1e6;
}

// The best of the runs of one call: wall time, and the CPU time of the
// server's main thread and of the client. The load of other work on the
// machine stretches wall times; CPU times say what the call itself costs.
struct CallTiming
{
    double wall = std::numeric_limits<double>::max();
    double server = std::numeric_limits<double>::max();
    double client = std::numeric_limits<double>::max();

    void report(Figures &figures, const QString &name) const
    {
        put(figures, name, "%.1f", wall);
        put(figures, QStringLiteral("    CPU of the server's main thread"), "%.1f", server);
        put(figures, QStringLiteral("    CPU of the client"), "%.1f", client);
    }
};

void timedCall(ZeltoClient &client, qint64 serverPid, const QString &name, const QVariantList &params,
               CallTiming &timing)
{
    const double server = mainThreadCpuMs(serverPid);
    const double own = cpuMs();
    QElapsedTimer t;
    t.start();
    if (!call(client, name, params))
        fail(qPrintable(name));
    timing.wall = qMin(timing.wall, ms(t));
    timing.server = qMin(timing.server, mainThreadCpuMs(serverPid) - server);
    timing.client = qMin(timing.client, cpuMs() - own);
}

void overTheWire(const QString &home, int nodeId, int version, Figures &figures)
{
    const quint16 port = freePort();
    QFile ini(home + QStringLiteral("/orvex-server.ini"));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[Server]\nport=%1\naddress=127.0.0.1\n").arg(port).toUtf8());
    ini.close();

    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVEX_HOME"), home);
    env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), home);
    env.insert(QStringLiteral("ORVEX_STREAM_VERSION"), QString::number(version));
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral(ORVEX_SERVER_PATH), QStringList());
    if (!server.waitForStarted())
        fail("server start");

    ZeltoClient client;
    bool connected = false;
    for (int attempt = 0; attempt < 200 && !connected; ++attempt) {
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        connected = client.waitForConnected(1000);
        if (!connected)
            QThread::msleep(50);
    }
    if (!connected)
        fail("connect");

    const qint64 pid = server.processId();
    const int firstDay = kDays + 2 * kRuns + 2;
    CallTiming save, month, all, check, checkedSave;
    for (int run = 0; run < kRuns; ++run)
        timedCall(client, pid, QStringLiteral("saveArchives"), {QVariant::fromValue(oneDay(nodeId, firstDay + run))}, save);
    const QDateTime monthStart(QDate(2021, 3, 1), QTime(0, 0), Qt::LocalTime);
    for (int run = 0; run < kRuns; ++run)
        timedCall(client, pid, QStringLiteral("getArchive"),
                  {nodeId, QStringLiteral("hour_data"), monthStart, monthStart.addMonths(1).addSecs(-1)}, month);
    const int monthRows = client.result().value<ZeltoTable>().rowCount();
    for (int run = 0; run < kRuns; ++run)
        timedCall(client, pid, QStringLiteral("getArchive"), {nodeId, QStringLiteral("hour_data"), QVariant(), QVariant()}, all);
    const int allRows = client.result().value<ZeltoTable>().rowCount();

    // Three criteria of the kinds users pick: a range on every archive (it
    // flags about one hourly row in forty), a comparison of two parameters
    // on hourly data and a lower bound on daily data (these never fire).
    auto quoted = [](const char *code) { return QStringLiteral("\"%1\"").arg(QLatin1String(code)); };
    const QVariantList criteria = {
        QVariantList{QStringLiteral("checkNotIn"), QStringLiteral("Enum.All"), quoted("S1_t1"), QStringLiteral("40"), QStringLiteral("64.8")},
        QVariantList{QStringLiteral("checkMore"), QStringLiteral("Enum.Hour"), quoted("S1_t1"), quoted("S1_t2")},
        QVariantList{QStringLiteral("checkLess"), QStringLiteral("Enum.Day"), quoted("S2_P1"), QStringLiteral("0.2")}};
    if (!call(client, QStringLiteral("setCheckParams"), {nodeId, QVariantMap{{QStringLiteral("criteria"), criteria}}}))
        fail("setCheckParams");
    for (int run = 0; run < 2; ++run)
        timedCall(client, pid, QStringLiteral("checkArchives"), {nodeId}, check);
    const int findings = client.result().toInt();
    // A save now also runs the script over the new rows.
    for (int run = 0; run < kRuns; ++run)
        timedCall(client, pid, QStringLiteral("saveArchives"),
                  {QVariant::fromValue(oneDay(nodeId, firstDay + kRuns + run))}, checkedSave);

    heading(figures, QStringLiteral("over the wire (orvex-server, loopback TCP), ms:"));
    save.report(figures, QStringLiteral("  saveArchives one day"));
    checkedSave.report(figures, QStringLiteral("  saveArchives one day, checked"));
    month.report(figures, QStringLiteral("  getArchive one month (%1 rows)").arg(monthRows));
    all.report(figures, QStringLiteral("  getArchive whole archive (%1 rows)").arg(allRows));
    check.report(figures, QStringLiteral("  checkArchives, 3 criteria (%1 findings)").arg(findings));

    client.disconnectFromHost();
    server.terminate();
    if (!server.waitForFinished(60000))
        server.kill();
}

} // namespace

int main(int argc, char **argv)
{
    // As the server does.
    Zelto::pinTimeZone();
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    QCoreApplication app(argc, argv);
    QVector<Figures> runs;
    for (int version = 1; version <= ZeltoStream::FormatVersion; ++version) {
        QTemporaryDir home;
        if (!home.isValid())
            fail("temporary folder");
        // The metadata catalogue reads metadata/ of the home folder.
        QDir().mkpath(home.filePath(QStringLiteral("metadata")));
        const QDir metadata(QStringLiteral(ORVEX_METADATA_DIR));
        for (const QString &name : metadata.entryList(QDir::Files))
            QFile::copy(metadata.filePath(name), home.filePath(QStringLiteral("metadata/") + name));
        ZeltoStream::setWriteVersion(version);
        Figures figures;
        const int nodeId = prepareAndBreakDown(home.path(), figures);
        overTheWire(home.path(), nodeId, version, figures);
        runs.append(figures);
    }

    std::printf("%-48s", "stored format version");
    for (int version = 1; version <= runs.size(); ++version)
        std::printf("%10d", version);
    std::printf("\n");
    for (int i = 0; i < runs.first().size(); ++i) {
        std::printf("%-48s", qPrintable(runs.first().at(i).first));
        for (const Figures &figures : runs)
            std::printf("%10s", qPrintable(figures.at(i).second));
        std::printf("\n");
    }
    std::printf("TZ: %s\n", qEnvironmentVariableIsSet("TZ") ? qgetenv("TZ").constData() : "(unset)");
    return 0;
}
