// Archives of one node with five years of hourly records (43,800 rows of a
// "date" column and the parameters of a meter with four heating systems, as
// the device polling simulator reports them), five years of daily and
// monthly records and ten current readings. Runs everything once for each
// way of storing: version 1 of the stored format, version 2 with saves that
// decode and encode whole archives, and version 2 with saves that change
// only the archive's end in its encoded form (the server told by
// ORVEX_STREAM_VERSION and ORVEX_ARCHIVE_SPLICE), and prints the figures
// side by side:
// - where the time of saving one new day goes, step by step, in process,
//   and the CPU time of reading the whole hourly archive and of its JSON;
// - end to end over the wire against the real orvex-server: saveArchives of
//   one new day (24 hourly rows, 1 daily row, 1 current reading), getArchive
//   of one month and of the whole hourly archive with tables as JSON and in
//   stream form, checkArchives with three criteria, each with the CPU time
//   the server's main thread and the client spent on it;
// - the size of the database file per node.
// With --pg or --connection CONNINFO (benchpostgres.h) all of it runs on
// PostgreSQL, a new database for each way of storing.
// In-process figures are the best of several runs; over the wire each is
// "best/median": the machine may be shared, and CPU times are the fair ones.

#include "archivechecks.h"
#include "archivedates.h"
#include "archivestore.h"
#include "benchserver.h"
#include "benchtables.h"
#include "benchdatabase.h"
#include "benchpostgres.h"
#include "nodes.h"
#include "transactionscope.h"
#include "zelto.h"
#include "zeltoclient.h"
#include "zeltoencodedtable.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltorpcmessage.h"
#include "zeltostream.h"
#include "zeltosystem.h"
#include "zeltotablesplice.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <limits>

#include <malloc.h>

namespace {

using namespace Bench;

const int kYears = 5;
const int kDays = kYears * 365;
const int kMonths = kYears * 12;
const int kRuns = 5;
const int kReadRuns = 7;   // getArchive over the wire, in each form
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

// The least CPU time of the calling thread that work takes in kRuns runs.
double bestCpu(const std::function<void()> &work)
{
    double result = std::numeric_limits<double>::max();
    for (int i = 0; i < kRuns; ++i) {
        const double start = threadCpuMs();
        work();
        result = qMin(result, threadCpuMs() - start);
    }
    return result;
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
    tables.insert(QStringLiteral("hour_data"), BenchTables::meterArchive(MeterValues::HourData, midnight, 24));
    tables.insert(QStringLiteral("day_data"), BenchTables::meterArchive(MeterValues::DayData, midnight, 1));
    tables.insert(QStringLiteral("current_data"), BenchTables::meterArchive(MeterValues::CurrentData, midnight.addSecs(23 * 3600), 1));
    return tables;
}

// The bytes of the open database: SQLite's file, PostgreSQL's database.
qint64 databaseBytes(const QString &home)
{
    if (QSqlDatabase::database().driverName() != QLatin1String("QPSQL"))
        return QFileInfo(home + QStringLiteral("/telvan.db")).size();
    QSqlQuery query(QSqlDatabase::database());
    if (!query.exec(QStringLiteral("SELECT pg_database_size(current_database())")) || !query.next())
        fail("the database's size");
    return query.value(0).toLongLong();
}

// Sets up the node in process and measures the steps of a one-day save.
int prepareAndBreakDown(const QString &home, Figures &figures)
{
    openDatabase();
    const qint64 emptySize = databaseBytes(home);
    putSetting(QStringLiteral("currentDataCount"), 10);
    putSetting(QStringLiteral("checkDateReset"), true);
    const int nodeId = Nodes::save(serverContext(), {{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                    {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                                    {QStringLiteral("number"), 1}}).valueOr(-1);
    if (nodeId < 0)
        fail("node");

    ZeltoTableMap tables;
    tables.insert(QStringLiteral("info"), infoTable(nodeId));
    tables.insert(QStringLiteral("hour_data"), BenchTables::fiveYears());
    tables.insert(QStringLiteral("day_data"), BenchTables::meterArchive(MeterValues::DayData, kStart, kDays));
    tables.insert(QStringLiteral("month_data"), BenchTables::meterArchive(MeterValues::MonthData, kStart, kMonths));
    tables.insert(QStringLiteral("current_data"), BenchTables::meterArchive(MeterValues::CurrentData, kStart.addDays(kDays - 1), 10));
    QElapsedTimer timer;
    timer.start();
    if (const ZeltoStatus done = ArchiveStore::save(serverContext(), tables, false); !done.ok())
        fail("first save", done);
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
        encoded = Database::encodeValue(QVariant::fromValue(merged)).value().toByteArray();
        return ms(t);
    });
    // Rows of another size each time: SQLite overwrites a row of the same
    // size in place, writing only the pages that differ.
    const double writeMs = best(kRuns, [&](int run) {
        ZeltoTable next = merged;
        for (int day = 0; day <= run; ++day)
            ArchiveDates::merge(next, oneDay(nodeId, kDays + 1 + day).value(hour));
        const QByteArray bytes = Database::encodeValue(QVariant::fromValue(next)).value().toByteArray();
        QElapsedTimer t;
        t.start();
        TransactionScope scope(database(), QStringLiteral("bench"));
        QSqlQuery query(QSqlDatabase::database());
        query.prepare(QStringLiteral("UPDATE nodes_data SET hour_data = ? WHERE id = %1").arg(nodeId));
        query.addBindValue(bytes);
        if (!query.exec() || !scope.finish().ok())
            fail("write");
        return ms(t);
    });
    // The same day merged into the stored bytes: read the end, merge, encode.
    const ZeltoTable dayRows = oneDay(nodeId, kDays).value(hour);
    QByteArray splicedBytes;
    auto spliceDay = [&] {
        ZeltoTableSplice splice;
        QVector<qint64> keys;
        Qt::TimeSpec timeSpec;
        ZeltoTable tail;
        if (!splice.open(blob) || !splice.instants(0, keys, timeSpec) || !splice.readRows(keys.size(), tail))
            return false;
        ArchiveDates::merge(tail, dayRows);
        return splice.replaceRows(keys.size(), tail, splicedBytes);
    };
    const bool spliceApplies = spliceDay();
    const double spliceCpuMs = spliceApplies ? bestCpu([&] { spliceDay(); }) : 0;
    double saveCpuMs = std::numeric_limits<double>::max();
    const double saveMs = best(kRuns, [&](int run) {
        ZeltoTableMap dayTables = oneDay(nodeId, kDays + 1 + kRuns + run);
        const double cpu = threadCpuMs();
        QElapsedTimer t;
        t.start();
        if (const ZeltoStatus done = ArchiveStore::save(serverContext(), dayTables, true); !done.ok())
            fail("one-day save", done);
        saveCpuMs = qMin(saveCpuMs, threadCpuMs() - cpu);
        return ms(t);
    });
    put(figures, QStringLiteral("hourly archive stored, KiB"), "%.0f", blob.size() / 1024.0);
    put(figures, QStringLiteral("  bytes per double cell"), "%.2f", blob.size() / BenchTables::doubleCells(stored));
    heading(figures, QStringLiteral("one-day save, hourly archive steps (ms):"));
    put(figures, QStringLiteral("  database read"), "%.1f", readMs);
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
        encoded = Database::encodeValue(QVariant::fromValue(merged)).value().toByteArray();
    }));
    put(figures, QStringLiteral("  database write, with commit"), "%.1f", writeMs);
    put(figures, QStringLiteral("  instead of decode to encode: splice, CPU"), "%.1f", spliceCpuMs);
    put(figures, QStringLiteral("one-day save, all archives, in process, ms"), "%.1f", saveMs);
    put(figures, QStringLiteral("  CPU, ms"), "%.1f", saveCpuMs);

    // What the server does for getArchive of the whole hourly archive: read
    // and decode it, take the range, write the reply's JSON.
    ZeltoTable range;
    const double rangeCpuMs = bestCpu([&] {
        QDateTime from, to;
        range = ArchiveStore::archiveRange(serverContext(), nodeId, hour, from, to).value();
    });
    QByteArray json;
    const double jsonCpuMs = bestCpu([&] { json = ZeltoJsonWriter::toJson(QVariant::fromValue(range)); });
    QVariant read;
    const double jsonReadCpuMs = bestCpu([&] { ZeltoJsonReader().read(json, read); });
    // The same in stream form: the stored bytes, checked, as base64.
    QVariant passed;
    const double encodedCpuMs = bestCpu([&] {
        QDateTime from, to;
        passed = ArchiveStore::archiveRangeEncoded(serverContext(), nodeId, hour, from, to).value();
    });
    QByteArray reply;
    const double streamCpuMs = bestCpu([&] { ZeltoRpcMessage::result("1", passed, reply, nullptr, true); });
    ZeltoJsonReader streamReader;
    streamReader.setStreamTables(true);
    const double streamReadCpuMs = bestCpu([&] { streamReader.read(reply, read); });
    if (read.toMap().value(QStringLiteral("result")).value<ZeltoTable>() != range)
        fail("the table in stream form");
    heading(figures, QStringLiteral("getArchive of the whole hourly archive, steps (CPU ms):"));
    put(figures, QStringLiteral("  read, decode and take the range"), "%.1f", rangeCpuMs);
    put(figures, QStringLiteral("  JSON of the reply"), "%.1f", jsonCpuMs);
    put(figures, QStringLiteral("  client: read the JSON"), "%.1f", jsonReadCpuMs);
    put(figures, QStringLiteral("  stream form: read and check"), "%.1f", encodedCpuMs);
    put(figures, QStringLiteral("  stream form: the reply"), "%.1f", streamCpuMs);
    put(figures, QStringLiteral("  client: read the stream form"), "%.1f", streamReadCpuMs);
    put(figures, QStringLiteral("  reply size, JSON, MB"), "%.1f", json.size() / 1e6);
    put(figures, QStringLiteral("  reply size, stream form, MB"), "%.1f", reply.size() / 1e6);

    const qint64 size = databaseBytes(home);
    put(figures, QStringLiteral("database for one node, MiB"), "%.1f", size / 1048576.0);
    put(figures, QStringLiteral("  empty database, MiB"), "%.1f", emptySize / 1048576.0);
    Database::destroy();
    return nodeId;
}

// The runs of one call: wall time, and the CPU time of the server's main
// thread and of the client. The load of other work on the machine
// stretches wall times; CPU times say what the call itself costs.
struct CallTiming
{
    QVector<double> wall, serverCpu, clientCpu;
    QVector<qint64> faults;

    void measure(Server &server, const QString &name, const QVariantList &params)
    {
        const qint64 faultsStart = server.mainThreadMinorFaults();
        const double serverStart = server.mainThreadCpuMs();
        const double clientStart = threadCpuMs();
        wall.append(timedCall(server.client(), name, params));
        serverCpu.append(server.mainThreadCpuMs() - serverStart);
        clientCpu.append(threadCpuMs() - clientStart);
        faults.append(server.mainThreadMinorFaults() - faultsStart);
    }

    // "best/median"
    template <typename T>
    static QString spread(QVector<T> values, const char *format)
    {
        std::sort(values.begin(), values.end());
        return QString::asprintf(format, double(values.first())) + QLatin1Char('/')
            + QString::asprintf(format, double(values.at(values.size() / 2)));
    }

    void report(Figures &figures, const QString &name) const
    {
        figures.append({name, spread(wall, "%.1f")});
        figures.append({QStringLiteral("    CPU of the server's main thread"), spread(serverCpu, "%.1f")});
        figures.append({QStringLiteral("    CPU of the client"), spread(clientCpu, "%.1f")});
        figures.append({QStringLiteral("    page faults of the server's main thread"), spread(faults, "%.0f")});
    }
};

void overTheWire(const QString &home, const QString &databaseIni, int nodeId, int version, bool splice,
                 Figures &figures)
{
    Server server(home,
                  {{QStringLiteral("ORVEX_STREAM_VERSION"), QString::number(version)},
                   {QStringLiteral("ORVEX_ARCHIVE_SPLICE"), splice ? QStringLiteral("1") : QStringLiteral("0")}},
                  databaseIni);
    ZeltoClient &client = server.client();

    const int firstDay = kDays + 2 * kRuns + 2;
    CallTiming save, month[2], all[2], check, checkedSave;
    for (int run = 0; run < kRuns; ++run)
        save.measure(server, QStringLiteral("saveArchives"), {QVariant::fromValue(oneDay(nodeId, firstDay + run))});
    // Tables as JSON, then in stream form; the runs alternate, so that
    // both meet the same load.
    const QDateTime monthStart(QDate(2021, 3, 1), QTime(0, 0), Qt::LocalTime);
    const QVariantList monthParams = {nodeId, QStringLiteral("hour_data"), monthStart,
                                      monthStart.addMonths(1).addSecs(-1)};
    const QVariantList allParams = {nodeId, QStringLiteral("hour_data"), QVariant(), QVariant()};
    ZeltoTable monthTable[2], allTable[2];
    for (int run = 0; run < kReadRuns; ++run) {
        for (int form = 0; form < 2; ++form) {
            client.setStreamTables(form == 1);
            month[form].measure(server, QStringLiteral("getArchive"), monthParams);
            monthTable[form] = client.result().value<ZeltoTable>();
            all[form].measure(server, QStringLiteral("getArchive"), allParams);
            allTable[form] = client.result().value<ZeltoTable>();
        }
    }
    client.setStreamTables(false);
    if (monthTable[0] != monthTable[1] || allTable[0] != allTable[1])
        fail("getArchive in stream form gives other tables than JSON");

    // Three criteria of the kinds users pick: a range on every archive, a
    // comparison of two parameters on hourly data and a lower bound on
    // daily data.
    auto quoted = [](const char *code) { return QStringLiteral("\"%1\"").arg(QLatin1String(code)); };
    const QVariantList criteria = {
        QVariantList{QStringLiteral("checkNotIn"), QStringLiteral("Enum.All"), quoted("S1_t1"), QStringLiteral("40"), QStringLiteral("64.8")},
        QVariantList{QStringLiteral("checkMore"), QStringLiteral("Enum.Hour"), quoted("S1_t1"), quoted("S1_t2")},
        QVariantList{QStringLiteral("checkLess"), QStringLiteral("Enum.Day"), quoted("S2_P1"), QStringLiteral("0.2")}};
    if (!call(client, QStringLiteral("setCheckParams"), {nodeId, QVariantMap{{QStringLiteral("criteria"), criteria}}}))
        fail("setCheckParams");
    for (int run = 0; run < 2; ++run)
        check.measure(server, QStringLiteral("checkArchives"), {nodeId});
    const int findings = client.result().toInt();
    // A save now also runs the script over the new rows.
    for (int run = 0; run < kRuns; ++run)
        checkedSave.measure(server, QStringLiteral("saveArchives"),
                            {QVariant::fromValue(oneDay(nodeId, firstDay + kRuns + run))});

    heading(figures, QStringLiteral("over the wire (orvex-server, loopback TCP), ms:"));
    save.report(figures, QStringLiteral("  saveArchives one day"));
    checkedSave.report(figures, QStringLiteral("  saveArchives one day, checked"));
    const char *forms[] = {"JSON", "stream"};
    for (int form = 0; form < 2; ++form)
        month[form].report(figures, QStringLiteral("  getArchive one month (%1 rows), %2")
                                        .arg(monthTable[form].rowCount()).arg(QLatin1String(forms[form])));
    for (int form = 0; form < 2; ++form)
        all[form].report(figures, QStringLiteral("  getArchive whole archive (%1 rows), %2")
                                      .arg(allTable[form].rowCount()).arg(QLatin1String(forms[form])));
    check.report(figures, QStringLiteral("  checkArchives, 3 criteria (%1 findings)").arg(findings));
}

} // namespace

int main(int argc, char **argv)
{
    // As the server does.
    Zelto::pinTimeZone();
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    mallopt(M_TOP_PAD, 128 << 20);
    QCoreApplication app(argc, argv);
    PgTarget pg;
    QStringList arguments = app.arguments();
    if (!pg.parse(arguments) || arguments.size() > 1) {
        std::fprintf(stderr, "usage: bench_archives [--pg | --connection CONNINFO]\n");
        return 3;
    }
    struct Way
    {
        int version;
        bool splice;
        const char *name;
    };
    const Way ways[] = {{1, false, "v1"}, {2, false, "v2 whole"}, {2, true, "v2 splice"}};
    QVector<Figures> runs;
    for (const Way &way : ways) {
        const Home home;
        const QString database = pg.isUsed() ? pg.createDatabase(QStringLiteral("orvex_bench_archives")) : QString();
        const QString databaseIni = pg.isUsed() ? pg.iniSection(database) : QString();
        // The database this process opens, as the server's INI names it.
        const QString ini = home.path() + QStringLiteral("/orvex-server.ini");
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly) || file.write(databaseIni.toUtf8()) < 0)
            fail("INI file");
        file.close();
        ZeltoSystem::instance()->setSettingsPath(ini);
        ZeltoStream::setWriteVersion(way.version);
        ArchiveStore::setSplicing(way.splice);
        Figures figures;
        const int nodeId = prepareAndBreakDown(home.path(), figures);
        overTheWire(home.path(), databaseIni, nodeId, way.version, way.splice, figures);
        runs.append(figures);
        if (pg.isUsed())
            pg.dropDatabase(database);
    }

    std::printf("database: %s\n", pg.isUsed() ? qPrintable(pg.describe()) : "SQLite");

    std::printf("%-56s", "stored format, saves");
    for (const Way &way : ways)
        std::printf("%14s", way.name);
    std::printf("\n");
    for (int i = 0; i < runs.first().size(); ++i) {
        std::printf("%-56s", qPrintable(runs.first().at(i).first));
        for (const Figures &figures : runs)
            std::printf("%14s", qPrintable(figures.at(i).second));
        std::printf("\n");
    }
    printTimeZone();
    return 0;
}
