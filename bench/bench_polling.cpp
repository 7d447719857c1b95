// Polling. Prints:
// - one scheduler pass over 10,000 tasks with mixed timetables, in process;
// - 1,000 polls end to end: the real orvex-server with "maxRunningTaskCount"
//   50 polls 50 nodes, each holding a year of hourly history, through the
//   real orvex-device-sim in instant mode; each poll saves about a day. Polls
//   per second, the server's CPU seconds per poll, and its resident memory
//   after the first 100 polls and at the end;
// - the same with nodes that hold no history, 300 polls: what the polling
//   road costs apart from rewriting a year of archive on every save.
// An argument sets the number of polls of the first run, a second one
// "maxRunningTaskCount" (default 50; the server's own default is 10).

#include "archivestore.h"
#include "benchserver.h"
#include "benchdatabase.h"
#include "metervalues.h"
#include "nodes.h"
#include "scheduler.h"
#include "transactionscope.h"
#include "zelto.h"
#include "zeltoclient.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <cstdio>
#include <limits>
#include <memory>

#include <unistd.h>

namespace {

const int kTasks = 10000;
const int kNodes = 50;
int g_slots = kNodes;
const QList<int> kSystems{1, 2};

QVariantMap randomTimetable(QRandomGenerator &random)
{
    auto times = [&]() {
        QStringList list;
        for (int i = 0, n = 1 + random.bounded(3); i < n; ++i)
            list.append(QStringLiteral("%1:%2").arg(random.bounded(24), 2, 10, QLatin1Char('0')).arg(random.bounded(4) * 15, 2, 10, QLatin1Char('0')));
        return list;
    };
    switch (random.bounded(5)) {
    case 0:
        return {{QStringLiteral("mode"), QStringLiteral("hourly")}, {QStringLiteral("minute"), random.bounded(60)}};
    case 1:
        return {{QStringLiteral("mode"), QStringLiteral("daily")}, {QStringLiteral("times"), times()}};
    case 2:
        return {{QStringLiteral("mode"), QStringLiteral("weekly")}, {QStringLiteral("times"), times()},
                {QStringLiteral("dayMask"), 1 + random.bounded(127)}};
    case 3:
        return {{QStringLiteral("mode"), QStringLiteral("monthly")}, {QStringLiteral("times"), times()},
                {QStringLiteral("dayMask"), qint64(random.generate())}};
    default:
        return QVariantMap();
    }
}

void schedulerPass()
{
    const Bench::Home home;
    Bench::openDatabase();
    QRandomGenerator random(11);
    const QDateTime now = QDateTime::currentDateTime();
    {
        TransactionScope scope(Bench::database(), QStringLiteral("bench"));
        const int node = Nodes::save(Bench::serverContext(), {{QStringLiteral("model_code"), QStringLiteral("RNH7")},
                                      {QStringLiteral("model_name"), QStringLiteral("РН-7")},
                                      {QStringLiteral("number"), 1}}).valueOr(-1);
        for (int i = 0; i < kTasks; ++i) {
            // A third never ran, the others at some time of the last two days.
            const QVariant lastExec = i % 3 == 0 ? QVariant() : QVariant(now.addSecs(-random.bounded(2 * 86400)));
            const int id = Bench::database()
                               .save(QStringLiteral("tasks"),
                                     {{QStringLiteral("node_id"), node},
                                      {QStringLiteral("channel_code"), QStringLiteral("COM")},
                                      {QStringLiteral("last_exec"), lastExec}})
                               .valueOr(-1);
            if (id < 0
                || !Bench::database()
                        .write(QStringLiteral("tasks"), id, {{QStringLiteral("timetable"), randomTimetable(random)}})
                        .ok())
                Bench::fail("task");
        }
        if (!scope.finish().ok())
            Bench::fail("commit");
    }
    int started = 0;
    QElapsedTimer timer;
    timer.start();
    auto scheduler = std::make_unique<Scheduler>(&Bench::database(), [&](int) { ++started; });
    const double loadMs = Bench::ms(timer);
    double best = std::numeric_limits<double>::max();
    for (int run = 0; run < 5; ++run) {
        timer.restart();
        scheduler->checkTimetables();
        best = qMin(best, Bench::ms(timer));
    }
    std::printf("scheduler: %d tasks read and first pass in %.0f ms; one pass %.1f ms (target < 50 ms), "
                "%d tasks due\n", kTasks, loadMs, best, started / 6);
    scheduler.reset();
    Database::destroy();
}

// Nodes of RNH7 meters, with a year of hourly and daily records ending the
// day before yesterday or none, and one task each; the simulator reads from
// there.
void prepareNodes(bool history)
{
    Bench::openDatabase();
    Bench::putSetting(QStringLiteral("maxRunningTaskCount"), g_slots);
    Bench::putSetting(QStringLiteral("taskAttemptCount"), 1);
    const QDateTime today(QDate::currentDate(), QTime(0, 0));
    const QDateTime from = today.addDays(-367);
    const QDateTime to = today.addDays(-2);
    for (int n = 1; n <= kNodes; ++n) {
        const int number = 500000 + n;
        const int node = Nodes::save(Bench::serverContext(), {{QStringLiteral("model_code"), QStringLiteral("RNH7")},
                                      {QStringLiteral("model_name"), QStringLiteral("РН-7")},
                                      {QStringLiteral("number"), number}}).valueOr(-1);
        if (node < 0)
            Bench::fail("node");
        const MeterValues meter(number);
        ZeltoTable info;
        info.appendRow(QVariantMap{{QStringLiteral("id"), node}});
        ZeltoTableMap tables{{QStringLiteral("info"), info}};
        for (MeterValues::Kind kind : {MeterValues::HourData, MeterValues::DayData, MeterValues::DayTotals})
            tables.insert(MeterValues::archiveName(kind),
                          meter.archive(kind, MeterValues::columns(kind, kSystems), from,
                                        kind == MeterValues::HourData ? to.addSecs(23 * 3600) : to));
        if (history && !ArchiveStore::save(Bench::serverContext(), tables, false).ok())
            Bench::fail("history");
        const QVariantMap channel{{QStringLiteral("code"), QStringLiteral("COM")},
                                  {QStringLiteral("port"), QStringLiteral("COM%1").arg(n)},
                                  {QStringLiteral("deviceId"), QString::number(number)}};
        const int task
            = Bench::database()
                  .save(QStringLiteral("tasks"),
                        {{QStringLiteral("node_id"), node}, {QStringLiteral("channel_code"), QStringLiteral("COM")}})
                  .valueOr(-1);
        if (task < 0
            || !Bench::database()
                    .write(QStringLiteral("tasks"), task,
                           {{QStringLiteral("channel"), channel},
                            {QStringLiteral("archives"),
                             QStringList{QStringLiteral("hourData"), QStringLiteral("dayData")}}})
                    .ok())
            Bench::fail("task");
    }
    Database::destroy();
}

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

void polls(int kPolls, bool history)
{
    const Bench::Home home;
    QElapsedTimer timer;
    timer.start();
    prepareNodes(history);
    const char *what = history ? "polls into a year of history" : "polls into empty nodes";
    if (history)
        std::printf("%s: %d nodes prepared in %.0f s\n", what, kNodes, Bench::ms(timer) / 1000);

    QProcess simulator;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVEX_HOME"), home.path());
    env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), home.path());
    simulator.setProcessEnvironment(env);
    simulator.start(QStringLiteral(ORVEX_DEVICE_SIM_PATH),
                    {QStringLiteral("-p"), QStringLiteral("0"), QStringLiteral("-a"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--instant"), QStringLiteral("--depth"), QStringLiteral("1"),
                     QStringLiteral("--overlap"), QStringLiteral("1")});
    if (!simulator.waitForReadyRead(30000))
        Bench::fail("simulator start");
    const QByteArray listening = simulator.readLine();
    QFile varnel(home.path() + QStringLiteral("/varnel.ini"));
    varnel.open(QIODevice::WriteOnly);
    varnel.write("[Server]\nport=" + listening.mid(listening.indexOf('=') + 1).trimmed() + "\n");
    varnel.close();

    Bench::Server server(home.path());
    ZeltoClient &client = server.client();

    // Every task is started again as soon as its run has ended.
    QMap<int, bool> running;
    int started = 0;
    int finished = 0;
    double rssWarm = 0;
    double cpuWarm = 0;
    double secondsWarm = 0;
    timer.restart();
    const double cpuStart = cpuSeconds(server.processId());
    while (finished < kPolls) {
        if (!Bench::call(client, QStringLiteral("getTasks"), {}))
            Bench::fail("getTasks");
        const ZeltoTable tasks = client.result().value<ZeltoTable>();
        for (int row = 0; row < tasks.rowCount(); ++row) {
            const int id = tasks.value(row, QStringLiteral("id")).toInt();
            const bool live = tasks.value(row, QStringLiteral("is_run")).toBool();
            if (running.value(id) && !live) {
                running[id] = false;
                if (++finished == 100) {
                    rssWarm = Bench::residentMiB(server.processId());
                    cpuWarm = cpuSeconds(server.processId());
                    secondsWarm = Bench::ms(timer) / 1000;
                }
            }
            if (!running.value(id) && started < kPolls) {
                if (!Bench::call(client, QStringLiteral("startTask"), {id}))
                    Bench::fail("startTask");
                running[id] = true;
                ++started;
            }
        }
        QThread::msleep(100);
    }
    const double seconds = Bench::ms(timer) / 1000;
    const double cpu = cpuSeconds(server.processId());
    const double rssEnd = Bench::residentMiB(server.processId());
    if (!Bench::call(client, QStringLiteral("getTasks"), {}))
        Bench::fail("getTasks");
    const ZeltoTable tasks = client.result().value<ZeltoTable>();
    int failed = 0;
    for (int row = 0; row < tasks.rowCount(); ++row)
        failed += tasks.value(row, QStringLiteral("last_error")).isNull() ? 0 : 1;
    std::printf("%s: %d polls in %.1f s: %.1f polls/s end to end (target >= 20), %.1f after the first 100\n", what,
                kPolls, seconds, kPolls / seconds, (kPolls - 100) / (seconds - secondsWarm));
    std::printf("%s: server CPU %.1f ms per poll (%.1f ms after the first 100)\n", what,
                (cpu - cpuStart) * 1000 / kPolls, (cpu - cpuWarm) * 1000 / (kPolls - 100));
    std::printf("%s: server resident memory %.1f MiB after 100 polls, %.1f MiB after %d (%+.1f %%); "
                "tasks whose last poll failed: %d\n", what, rssWarm, rssEnd, kPolls, (rssEnd / rssWarm - 1) * 100,
                failed);
    simulator.terminate();
    simulator.waitForFinished(30000);
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    if (argc > 2)
        g_slots = qMax(1, QString::fromLocal8Bit(argv[2]).toInt());
    std::printf("maxRunningTaskCount %d\n", g_slots);
    schedulerPass();
    polls(qMax(count, 200), true);
    polls(300, false);
    return 0;
}
