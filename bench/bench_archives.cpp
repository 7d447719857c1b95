// Archives of one node with five years of hourly records (43,800 rows of a
// "date" column and 40 parameter columns), five years of daily and monthly
// records and ten current readings. Prints:
// - where the time of saving one new day goes, step by step, in process;
// - end to end over the wire against the real orvex-server: saveArchives of
//   one new day (24 hourly rows, 1 daily row, 1 current reading), getArchive
//   of one month and of the whole hourly archive, checkArchives with three
//   criteria;
// - the size of the database file per node.
// Each figure is the best of several runs.

#include "archivechecks.h"
#include "archivedates.h"
#include "archivestore.h"
#include "benchserver.h"
#include "database.h"
#include "nodes.h"
#include "transactionscope.h"
#include "zelto.h"
#include "zeltoclient.h"
#include "zeltostream.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <limits>


namespace {

using namespace Bench;

const int kYears = 5;
const int kHours = kYears * 365 * 24;   // 43,800
const int kDays = kYears * 365;
const int kMonths = kYears * 12;
const int kRuns = 5;
const QDateTime kStart(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime);

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
    tables.insert(QStringLiteral("hour_data"), archive(midnight, 24, 3600, false, day * 24));
    tables.insert(QStringLiteral("day_data"), archive(midnight, 1, 86400, false, day));
    tables.insert(QStringLiteral("current_data"), archive(midnight.addSecs(23 * 3600 + 1800), 1, 0, false, day));
    return tables;
}

// Sets up the node in process and measures the steps of a one-day save.
int prepareAndBreakDown(const QString &home)
{
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
    tables.insert(QStringLiteral("hour_data"), archive(kStart, kHours, 3600));
    tables.insert(QStringLiteral("day_data"), archive(kStart, kDays, 86400));
    tables.insert(QStringLiteral("month_data"), archive(kStart, kMonths, 0, true));
    tables.insert(QStringLiteral("current_data"), archive(kStart.addDays(kDays - 1), 10, 360));
    QElapsedTimer timer;
    timer.start();
    if (!ArchiveStore::saveArchives(tables, false))
        fail("first save");
    std::printf("first save of five years, in process: %.0f ms\n", ms(timer));

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
        const double cpu = threadCpuMs();
        QElapsedTimer t;
        t.start();
        if (!ArchiveStore::saveArchives(dayTables, true))
            fail("one-day save");
        saveCpuMs = qMin(saveCpuMs, threadCpuMs() - cpu);
        return ms(t);
    });
    std::printf("one-day save, hourly archive steps (%d rows, %d KiB stored):\n", merged.rowCount(),
                int(blob.size() / 1024));
    std::printf("  SQLite read      %7.1f ms\n", readMs);
    std::printf("  decode           %7.1f ms\n", decodeMs);
    std::printf("  merge and sort   %7.1f ms (ZeltoTable::merge and sort: %.1f ms)\n", mergeMs, libraryMergeMs);
    std::printf("  fill scan        %7.1f ms\n", fillMs);
    std::printf("  encode           %7.1f ms\n", encodeMs);
    std::printf("  SQLite write     %7.1f ms (the node's row, with commit)\n", writeMs);
    std::printf("one-day save, all archives, in process: %.1f ms (%.1f ms CPU)\n", saveMs, saveCpuMs);

    const qint64 size = QFileInfo(home + QStringLiteral("/telvan.db")).size();
    std::printf("database file: %.1f MiB for one node (%.1f MiB empty)\n", size / 1048576.0, emptySize / 1048576.0);
    Database::destroy();
    return nodeId;
}

void overTheWire(const QString &home, int nodeId)
{
    Server server(home);
    ZeltoClient &client = server.client();

    const int firstDay = kDays + 2 * kRuns + 2;
    const double saveMs = best(kRuns, [&](int run) {
        const ZeltoTableMap day = oneDay(nodeId, firstDay + run);
        return timedCall(client, QStringLiteral("saveArchives"), {QVariant::fromValue(day)});
    });
    const QDateTime monthStart(QDate(2021, 3, 1), QTime(0, 0), Qt::LocalTime);
    int monthRows = 0;
    const double monthMs = best(kRuns, [&](int) {
        const double t = timedCall(client, QStringLiteral("getArchive"),
                                   {nodeId, QStringLiteral("hour_data"), monthStart, monthStart.addMonths(1).addSecs(-1)});
        monthRows = client.result().value<ZeltoTable>().rowCount();
        return t;
    });
    int allRows = 0;
    const double allMs = best(kRuns, [&](int) {
        const double t = timedCall(client, QStringLiteral("getArchive"),
                                   {nodeId, QStringLiteral("hour_data"), QVariant(), QVariant()});
        allRows = client.result().value<ZeltoTable>().rowCount();
        return t;
    });

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
    int findings = 0;
    const double checkMs = best(2, [&](int) {
        const double t = timedCall(client, QStringLiteral("checkArchives"), {nodeId});
        findings = client.result().toInt();
        return t;
    });
    // A save now also runs the script over the new rows.
    const double checkedSaveMs = best(kRuns, [&](int run) {
        const ZeltoTableMap day = oneDay(nodeId, firstDay + kRuns + run);
        return timedCall(client, QStringLiteral("saveArchives"), {QVariant::fromValue(day)});
    });

    std::printf("over the wire (orvex-server, loopback TCP):\n");
    std::printf("  saveArchives one day          %7.1f ms\n", saveMs);
    std::printf("  saveArchives one day, checked %7.1f ms\n", checkedSaveMs);
    std::printf("  getArchive one month          %7.1f ms (%d rows)\n", monthMs, monthRows);
    std::printf("  getArchive whole archive      %7.1f ms (%d rows)\n", allMs, allRows);
    std::printf("  checkArchives, 3 criteria     %7.1f ms (%d findings)\n", checkMs, findings);
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();   // as the server does
    QCoreApplication app(argc, argv);
    const Home home;
    const int nodeId = prepareAndBreakDown(home.path());
    overTheWire(home.path(), nodeId);
    printTimeZone();
    return 0;
}
