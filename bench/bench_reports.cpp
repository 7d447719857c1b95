// Report data and group totals. Prints, each the best of several runs:
// - getReportData of one month and of one year over the wire against the
//   real orvex-server, for a node with five years of hourly history (43,800
//   rows of 40 parameters) and its daily, monthly, day-totals and current
//   archives, and for a mass-only model without a totals archive, whose
//   readings come from current data and whose volumes are derived from
//   masses; the same reports built in process, to tell the building from
//   the wire;
// - getGroupTotals of one month over 200 nodes with a year of daily history
//   and day totals each.

#include "archivereports.h"
#include "archivestore.h"
#include "benchserver.h"
#include "benchdatabase.h"
#include "nodes.h"
#include "zelto.h"

#include <QCoreApplication>


namespace {

using namespace Bench;

const int kYears = 5;
const int kRuns = 5;
const int kGroupNodes = 200;
const QDateTime kStart(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime);
const QDate kMonthFrom(2021, 3, 1);
const QDate kMonthTo(2021, 3, 31);
const QDate kYearFrom(2021, 1, 1);
const QDate kYearTo(2021, 12, 31);

int makeNode(const QString &model, int number)
{
    const int id = Nodes::save(serverContext(), {{QStringLiteral("model_code"), model},
                                {QStringLiteral("model_name"), model},
                                {QStringLiteral("number"), number}}).valueOr(-1);
    if (id < 0)
        fail("node");
    return id;
}

// Daily (and, with hours, hourly) history of days from first, ten current
// readings on the last day; monthly records and day totals when asked for.
void save(int nodeId, const QDateTime &first, int days, bool hours, bool totals)
{
    ZeltoTableMap tables;
    ZeltoTable info;
    info.appendRow(QVariantMap{{QStringLiteral("id"), nodeId}});
    tables.insert(QStringLiteral("info"), info);
    tables.insert(QStringLiteral("day_data"), archive(first, days, 86400));
    tables.insert(QStringLiteral("current_data"), archive(first.addDays(days - 1), 10, 360));
    if (hours)
        tables.insert(QStringLiteral("hour_data"), archive(first, days * 24, 3600));
    if (totals) {
        tables.insert(QStringLiteral("month_data"), archive(first, days / 30, 0, true));
        tables.insert(QStringLiteral("day_totals"), archive(first, days, 86400, false, 1000));
    }
    if (const ZeltoStatus done = ArchiveStore::save(serverContext(), tables, false); !done.ok())
        fail("save", done);
}

struct Nodes5y {
    int withTotals;
    int massOnly;
    QVariantList group;
};

Nodes5y prepare()
{
    openDatabase();
    Nodes5y nodes;
    const int days = kYears * 365;
    nodes.withTotals = makeNode(QStringLiteral("LWD41"), 1);
    save(nodes.withTotals, kStart, days, true, true);
    // No totals archive and no month data: the readings come from current data.
    nodes.massOnly = makeNode(QStringLiteral("QRV5"), 2);
    save(nodes.massOnly, kStart, days, true, false);
    const QDateTime yearStart(QDate(2021, 1, 1), QTime(0, 0), Qt::LocalTime);
    for (int i = 0; i < kGroupNodes; ++i) {
        const int id = makeNode(QStringLiteral("LWD41"), 100 + i);
        save(id, yearStart, 365, false, true);
        nodes.group.append(id);
    }
    return nodes;
}

void reportInProcess(const char *what, int nodeId, const QDate &from, const QDate &to)
{
    int rows = 0;
    double cpu = std::numeric_limits<double>::max();
    const double t = best(kRuns, [&](int) {
        const double cpuBefore = threadCpuMs();
        QElapsedTimer timer;
        timer.start();
        const ZeltoTableMap report = ArchiveReports::reportData(serverContext(), nodeId, from, to).value();
        const double elapsed = ms(timer);
        cpu = qMin(cpu, threadCpuMs() - cpuBefore);
        rows = report.value(QStringLiteral("day_data")).rowCount() + report.value(QStringLiteral("hour_data")).rowCount();
        return elapsed;
    });
    std::printf("  %-44s %7.1f ms, CPU %6.1f ms (%d daily and hourly rows)\n", what, t, cpu, rows);
}

QString tableCount(const QVariant &result)
{
    return QStringLiteral("%1 tables").arg(result.value<ZeltoTableMap>().size());
}

// The best wall time of a call and the best CPU time the server spent on it.
void overTheWire(Server &server, const char *what, const QString &command, const QVariantList &params,
                 const std::function<QString(const QVariant &)> &describe)
{
    double cpu = std::numeric_limits<double>::max();
    QString result;
    const double wall = best(kRuns, [&](int) {
        const double cpuBefore = server.mainThreadCpuMs();
        const double elapsed = timedCall(server.client(), command, params);
        cpu = qMin(cpu, server.mainThreadCpuMs() - cpuBefore);
        result = describe(server.client().result());
        return elapsed;
    });
    std::printf("  %-44s %7.1f ms, server CPU %6.1f ms (%s)\n", what, wall, cpu, qPrintable(result));
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();   // as the server does
    QCoreApplication app(argc, argv);
    const Home home;
    QElapsedTimer timer;
    timer.start();
    const Nodes5y nodes = prepare();
    std::printf("prepared in %.0f ms: two nodes with %d years of hourly history, %d nodes with a year of days\n",
                ms(timer), kYears, kGroupNodes);

    std::printf("getReportData, in process:\n");
    reportInProcess("month, with day totals", nodes.withTotals, kMonthFrom, kMonthTo);
    reportInProcess("year, with day totals", nodes.withTotals, kYearFrom, kYearTo);
    reportInProcess("month, readings from current data, volumes", nodes.massOnly, kMonthFrom, kMonthTo);
    reportInProcess("year, readings from current data, volumes", nodes.massOnly, kYearFrom, kYearTo);
    Database::destroy();

    Server server(home.path());
    const QString report = QStringLiteral("getReportData");
    std::printf("over the wire (orvex-server, loopback TCP):\n");
    overTheWire(server, "getReportData month, with day totals", report, {nodes.withTotals, kMonthFrom, kMonthTo},
                tableCount);
    overTheWire(server, "getReportData year, with day totals", report, {nodes.withTotals, kYearFrom, kYearTo},
                tableCount);
    overTheWire(server, "getReportData month, from current data", report, {nodes.massOnly, kMonthFrom, kMonthTo},
                tableCount);
    overTheWire(server, "getReportData year, from current data", report, {nodes.massOnly, kYearFrom, kYearTo},
                tableCount);
    overTheWire(server, "getGroupTotals month, 200 nodes", QStringLiteral("getGroupTotals"),
                {nodes.group, kMonthFrom, kMonthTo},
                [](const QVariant &result) { return QStringLiteral("%1 rows").arg(result.value<ZeltoTable>().rowCount()); });
    printTimeZone();
    return 0;
}
