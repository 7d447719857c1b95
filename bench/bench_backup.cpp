// How long other clients wait while the server makes a backup of a large
// database (2 GiB by default), with the database file out of the page cache
// as it is on a server whose database is larger than its memory.
//
//   bench_backup [--size MiB] [--strategies]
//
// Server: the real orvex-server on a database of the given size; one client
// asks for backupDatabase while another calls getSetting (a read) and
// setSetting (a durable write) every 50 ms. Prints the copy's duration and
// the other client's worst and 99th-percentile waits, beside the same
// figures with no backup running.
//
// --strategies also compares, on the same file with SQLite alone, the ways
// a copy can be made, by the worst wait of a writer on the server's
// connection while the copy runs:
//   one step of all pages on the server's connection (the server is busy
//   for the whole copy); steps of 1 MiB on the server's connection (busy
//   for each step, the copy's writes included); a second connection on a
//   worker thread, with the rollback journal (the copy's read lock holds
//   the writer off) and with the write-ahead log, without and with a flush
//   of the copy every 8 MiB.

#include "benchserver.h"
#include "benchdatabase.h"
#include "zelto.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

const int BlobBytes = 16 << 20;   // one node's archives, about

using Bench::fail;

// Takes the file out of the page cache: the copy then reads from the disk.
void dropCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// Waits in milliseconds, and what they come to.
struct Waits
{
    QVector<double> ms;
    int failures = 0;

    void add(double value) { ms.append(value); }
    double worst() const { return ms.isEmpty() ? 0 : *std::max_element(ms.cbegin(), ms.cend()); }
    double percentile(double p) const
    {
        if (ms.isEmpty())
            return 0;
        QVector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.at(qMin(sorted.size() - 1, int(sorted.size() * p)));
    }
};

// A database of the server's schema, grown to about `mib` MiB with node
// archives of random bytes (what a copy reads does not depend on content).
void prepare(const QString &home, int mib)
{
    Bench::openDatabase();
    QByteArray blob(BlobBytes, Qt::Uninitialized);
    const int nodes = qMax(1, int((qint64(mib) << 20) / BlobBytes));
    for (int n = 1; n <= nodes; ++n) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(blob.data()), BlobBytes / 4);
        const int id = Bench::database()
                           .save(QStringLiteral("nodes"),
                                 {{QStringLiteral("name"), QStringLiteral("Узел %1").arg(n)},
                                  {QStringLiteral("model_code"), QStringLiteral("TV7")},
                                  {QStringLiteral("number"), n}})
                           .valueOr(-1);
        QSqlQuery query;
        query.prepare(QStringLiteral("UPDATE nodes_data SET hour_data = ? WHERE id = ?"));
        query.addBindValue(blob);
        query.addBindValue(id);
        if (id < 0 || !query.exec())
            fail("filling");
    }
    // No backup or compaction of its own when the server starts.
    const QDateTime now = QDateTime::currentDateTime();
    Bench::putSetting(QStringLiteral("lastBackup"), now);
    Bench::putSetting(QStringLiteral("lastCompact"), now);
    Database::destroy();
    std::printf("database: %.0f MiB, %d nodes\n", QFileInfo(home + QStringLiteral("/telvan.db")).size() / 1048576.0,
                nodes);
}

bool call(ZeltoClient &client, const QString &name, const QVariantList &params)
{
    return Bench::call(client, name, params, 30 * 60 * 1000);
}

// A read and a durable write every 50 ms while `running` says so.
Waits probe(ZeltoClient &client, const std::function<bool()> &running)
{
    Waits waits;
    int round = 0;
    while (running()) {
        QElapsedTimer timer;
        timer.start();
        const bool ok = ++round % 2 ? call(client, QStringLiteral("getSetting"), {QStringLiteral("backupCount")})
                                    : call(client, QStringLiteral("setSetting"), {QStringLiteral("benchNote"), round});
        waits.add(Bench::ms(timer));
        waits.failures += ok ? 0 : 1;
        QThread::msleep(50);
    }
    return waits;
}

void printWaits(const char *what, const Waits &waits)
{
    std::printf("  %-34s worst %7.1f ms, p99 %6.1f ms, median %5.1f ms (%d calls, %d failed)\n", what, waits.worst(),
                waits.percentile(0.99), waits.percentile(0.5), int(waits.ms.size()), waits.failures);
}

void serverWaits(const QString &home)
{
    Bench::Server server(home);
    ZeltoClient &other = server.client();

    QElapsedTimer quiet;
    quiet.start();
    const Waits idle = probe(other, [&] { return quiet.elapsed() < 5000; });

    dropCache(home + QStringLiteral("/telvan.db"));
    std::atomic_bool copying{true};
    double copyMs = 0;
    bool copied = false;
    std::thread asker([&] {
        ZeltoClient client;
        client.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        if (!client.waitForConnected())
            fail("connect");
        QElapsedTimer timer;
        timer.start();
        copied = call(client, QStringLiteral("backupDatabase"), {});
        copyMs = Bench::ms(timer);
        copying = false;
    });
    const Waits during = probe(other, [&] { return copying.load(); });
    asker.join();
    if (!copied)
        fail("backupDatabase");

    std::printf("server (orvex-server, loopback TCP, database out of the page cache):\n");
    std::printf("  backupDatabase                     %7.1f s\n", copyMs / 1000);
    printWaits("other client, no backup", idle);
    printWaits("other client, during the backup", during);
}

// --- strategies, with SQLite alone ------------------------------------------

sqlite3 *openDb(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK)
        fail("open");
    sqlite3_busy_timeout(db, 5000);
    return db;
}

void exec(sqlite3 *db, const char *sql)
{
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

struct Strategy
{
    const char *name;
    bool worker;          // a second connection on a worker thread, else the writer's own connection
    int pagesPerStep;     // -1: all at once
    bool wal;
    qint64 flushBytes;    // 0: no flush while copying
};

// Copies `source` while a writer commits one small row every 50 ms on its
// own connection (standing for the server's). On the writer's connection,
// a copy runs between the writes, so what the writer waits for is a step.
Waits strategyWaits(const QString &source, const QString &target, const Strategy &s, double *copyMs)
{
    sqlite3 *writer = openDb(source);
    exec(writer, s.wal ? "PRAGMA journal_mode = WAL" : "PRAGMA journal_mode = DELETE");
    exec(writer, "CREATE TABLE IF NOT EXISTS bench (k INTEGER PRIMARY KEY, v)");
    QFile::remove(target);
    dropCache(source);
    sqlite3 *dest = openDb(target);
    exec(dest, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");

    Waits waits;
    QElapsedTimer total;
    total.start();
    auto write = [&] {
        QElapsedTimer timer;
        timer.start();
        const bool ok = sqlite3_exec(writer, "INSERT OR REPLACE INTO bench VALUES (1, randomblob(100))", nullptr,
                                     nullptr, nullptr) == SQLITE_OK;
        waits.add(Bench::ms(timer));
        waits.failures += ok ? 0 : 1;
    };

    if (!s.worker) {
        sqlite3_backup *backup = sqlite3_backup_init(dest, "main", writer, "main");
        int code = SQLITE_OK;
        while (code == SQLITE_OK || code == SQLITE_BUSY || code == SQLITE_LOCKED) {
            // The server serves its clients between two steps; a step is what they wait for.
            QElapsedTimer step;
            step.start();
            code = sqlite3_backup_step(backup, s.pagesPerStep);
            waits.add(Bench::ms(step));
            write();
        }
        sqlite3_backup_finish(backup);
    } else {
        std::atomic_bool done{false};
        std::thread copier([&] {
            sqlite3 *reader = openDb(source);
            exec(reader, "BEGIN; SELECT count(*) FROM sqlite_master");
            sqlite3_backup *backup = sqlite3_backup_init(dest, "main", reader, "main");
            const int fd = ::open(QFile::encodeName(target).constData(), O_RDONLY);
            qint64 written = 0;
            qint64 flushed = 0;
            int code = SQLITE_OK;
            while (code == SQLITE_OK || code == SQLITE_BUSY || code == SQLITE_LOCKED) {
                code = sqlite3_backup_step(backup, s.pagesPerStep);
                written += qint64(s.pagesPerStep) * 4096;
                if (s.flushBytes > 0 && written - flushed >= s.flushBytes) {
                    ::fdatasync(fd);
                    flushed = written;
                }
            }
            sqlite3_backup_finish(backup);
            ::close(fd);
            exec(reader, "COMMIT");
            sqlite3_close(reader);
            done = true;
        });
        while (!done) {
            write();
            QThread::msleep(50);
        }
        copier.join();
    }
    *copyMs = Bench::ms(total);
    sqlite3_close(dest);
    exec(writer, "PRAGMA journal_mode = WAL");
    sqlite3_close(writer);
    QFile::remove(target);
    return waits;
}

void strategies(const QString &home)
{
    const QString source = home + QStringLiteral("/telvan.db");
    const QString target = home + QStringLiteral("/copy.db");
    const Strategy list[] = {
        {"one step, server's connection", false, -1, true, 0},
        {"1 MiB steps, server's connection", false, 256, true, 0},
        {"worker, rollback journal", true, 256, false, 0},
        {"worker, WAL, no flush", true, 256, true, 0},
        {"worker, WAL, flush every 8 MiB", true, 256, true, 8 << 20},
    };
    std::printf("strategies (SQLite alone, database out of the page cache; the writer's wait):\n");
    for (const Strategy &s : list) {
        double copyMs = 0;
        const Waits waits = strategyWaits(source, target, s, &copyMs);
        std::printf("  %-34s copy %6.1f s, worst %8.1f ms, p99 %7.1f ms (%d writes, %d failed)\n", s.name,
                    copyMs / 1000, waits.worst(), waits.percentile(0.99), int(waits.ms.size()), waits.failures);
    }
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int sizeAt = args.indexOf(QStringLiteral("--size"));
    const int mib = sizeAt > 0 ? args.value(sizeAt + 1).toInt() : 2048;
    if (mib <= 0)
        fail("--size wants a number of MiB, and reading it");
    // Beside the build, not in /tmp: a tmpfs would hide the disk.
    const Bench::Home home(QDir::currentPath());
    prepare(home.path(), mib);
    serverWaits(home.path());
    if (args.contains(QStringLiteral("--strategies")))
        strategies(home.path());
    return 0;
}
