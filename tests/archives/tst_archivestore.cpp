#include "archivedates.h"
#include "archivestore.h"
#include "checklog.h"
#include "checkparams.h"
#include "nodes.h"
#include "outcome.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"
#include "zeltotablesplice.h"
#include "zeltotestclock.h"

#include <QSqlDriver>
#include <QtTest>

#include <cmath>
#include <memory>

#include <sqlite3.h>

namespace {

const QString kHour = "hour_data", kDay = "day_data", kMonth = "month_data", kCurrent = "current_data",
              kT1 = "S1_t1";

QDateTime at(int day, int hour = 0) { return QDateTime(QDate(2024, 3, 1).addDays(day), QTime(hour, 0)); }

// "date" and S1_t1, one row per pair.
ZeltoTable archive(const QList<QPair<QDateTime, double>> &rows)
{
    ZeltoTable table(QStringList{ArchiveDates::column(), kT1});
    for (const auto &row : rows)
        table.appendRow(QVariantList{row.first, row.second});
    return table;
}

ZeltoTable record(const QVariantMap &values)
{
    ZeltoTable table;
    table.appendRow(values);
    return table;
}

ZeltoTable stored(int node, const QString &archive)
{
    return testDatabase().data("nodes", node, archive).value().value<ZeltoTable>();
}

int newNode(int number)
{
    const QVariantMap node{{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", number}};
    return Nodes::save(serverContext(), node).valueOr(-1);
}

QVariantMap nodeRow(int nodeId) { return testDatabase().record("nodes", nodeId).value(); }

// The last count journal entries as "LEVEL node message", oldest first, joined by "; ".
QString lastJournalEntries(int count = 1)
{
    return testDatabase().row("SELECT group_concat(e, '; ') AS e FROM (SELECT e FROM (SELECT rowid AS r, level || ' ' "
                              "|| node_id || ' ' || message AS e FROM journal ORDER BY rowid DESC LIMIT ?) ORDER BY r)",
                              {count}).value().value("e").toString();
}

ZeltoTable checkLog(int nodeId) { return CheckLog::read(serverContext(), nodeId, QDateTime(), QDateTime()).value(); }

} // namespace

class TestArchiveStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The shipped metadata, which names the flags of the nodes' model.
        ZeltoEnvironment::set("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
    }

    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QCOMPARE(outcome(m_home->open()), "ok");
        QVERIFY(testDatabase().putSetting("checkDateReset", true).ok());
        const QVariant handle = QSqlDatabase::database().driver()->handle();
        sqlite3_commit_hook(*static_cast<sqlite3 *const *>(handle.constData()),
                            [](void *commits) { return ++*static_cast<int *>(commits), 0; }, &m_commits);
        testDatabase().setStampClock(&m_clock);
        m_node = newNode(1);
        QVERIFY(m_node > 0);
    }

    void cleanup() { m_home.reset(); }

    // Sorting and cutting to the newest rows kept. (The fill statistics and first and last day a save keeps:
    // test_archives; what the caller is handed back: tailSavesStoreWhatWholeSavesStore.)
    void firstSaveSortsAndCuts()
    {
        QVERIFY(testDatabase().putSetting("currentDataCount", 3).ok());
        QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
        ZeltoTableMap tables{{"info", record({{"id", m_node}})},
                             {kHour, archive({{at(0, 4), 4}, {at(0, 1), 1}, {at(0, 2), 2}})},
                             {kDay, archive({{at(2), 20}, {at(0), 0}})},
                             {kCurrent, archive({{at(0, 5), 5}, {at(0, 1), 1}, {at(0, 3), 3}, {at(0, 4), 4}})}};
        const ZeltoStatus saved = ArchiveStore::save(serverContext(), tables, true);
        QVERIFY2(saved.ok(), qPrintable(saved.message()));
        QCOMPARE(stored(m_node, kCurrent).columnValues(kT1), (QVariantList{3.0, 4.0, 5.0}));   // the newest three
        QCOMPARE(spy, (QList<QList<QVariant>>{{"archivesSaved", m_node}, {"nodeSaved", m_node}}));

        // Nested in a caller's transaction: no notifications, and its rollback wins.
        spy.clear();
        {
            TransactionScope outer(testDatabase(), "test");
            QVERIFY(save({{kDay, archive({{at(5), 1}})}}).ok() && spy.isEmpty());
        }
        QCOMPARE(stored(m_node, kDay).rowCount(), 2);
    }

    void overlapReplacesAndWindowMayBeEmpty()
    {
        ZeltoTable first = archive({{at(0, 1), 1}, {at(0, 2), 2}, {at(0, 3), 3}});
        first.setValue(2, "S1_P1", 0.5);
        QVERIFY(save({{kHour, first}}).ok()
                && save({{kHour, archive({{at(0, 5), 50}, {at(0, 3), 30}, {at(0, 4), 40}})}}).ok());
        const ZeltoTable hours = stored(m_node, kHour);
        QCOMPARE(hours.columnValues(kT1), (QVariantList{1.0, 2.0, 30.0, 40.0, 50.0}));
        QCOMPARE(hours.value(2, "S1_P1"), QVariant(0.5));   // not in the new row: kept

        QVERIFY(testDatabase().putSetting("currentDataCount", 0).ok());
        QVERIFY(save({{kCurrent, archive({{at(0, 1), 1}, {at(0, 2), 2}})}}).ok());
        const QVariant current = testDatabase().data("nodes", m_node, kCurrent).value();
        QVERIFY(!current.isNull() && current.value<ZeltoTable>().rowCount() == 0);
    }

    void infoOnlySaveAndWarning()
    {
        QVERIFY(
            save({{kHour, archive({{at(0, 1), 1}, {at(0, 3), 3}})}, {kDay, archive({{at(0), 1}, {at(3), 3}})}}).ok());
        const QVariant fillBefore = testDatabase().data("nodes", m_node, "fill_data").value();
        QVERIFY(testDatabase().run("UPDATE nodes SET last_update = null, gap_count = 0 WHERE id = ?", {m_node}).ok());

        // The journal entries are written with the save and go with its one commit.
        const int commits = m_commits;
        QVERIFY(save({{"info", record({{"id", m_node}, {"name", "Котельная"}, {"warning", "Батарея"}})}}, true,
                     "Сохранение архивов").ok());
        QCOMPARE(m_commits - commits, 1);
        const QVariantMap row = nodeRow(m_node);
        QVERIFY(row.value("last_update").toDateTime().isValid());
        QCOMPARE(QVariantList({row.value("name"), row.value("gap_count")}), QVariantList({"Котельная", 3}));   // summed
        QCOMPARE(testDatabase().data("nodes", m_node, "fill_data").value(), fillBefore);
        QCOMPARE(lastJournalEntries(2), QStringLiteral("WARN %1 Батарея; INFO %1 Сохранение архивов").arg(m_node));
    }

    void failedClockCheckLeavesNothing()
    {
        QVERIFY(save({{kCurrent, archive({{at(5), 1}})}}).ok());
        const QVariantMap before = nodeRow(m_node);
        const ZeltoTableMap tables{{"info", record({{"id", m_node}, {"name", "Новое имя"}})},
                                   {"setting_data", record({{"name", "Ду"}, {"value", "50"}})},
                                   {kCurrent, archive({{at(3), 2}})},   // two days before the stored reading
                                   {kHour, archive({{at(3, 1), 1}})}};
        const ZeltoStatus refused = save(tables, true, "Сохранение архивов");
        QVERIFY2(outcome(refused).startsWith("conflict: Обнаружен сброс даты и времени"), qPrintable(outcome(refused)));
        QCOMPARE(lastJournalEntries(), QStringLiteral("ERROR %1 ").arg(m_node) + refused.message());
        QCOMPARE(nodeRow(m_node), before);
        QCOMPARE(QList<int>({ArchiveStore::settingData(serverContext(), m_node).value().rowCount(), stored(m_node, kCurrent).rowCount()}),
                 QList<int>({0, 1}));
        QVERIFY(testDatabase().data("nodes", m_node, kHour).value().isNull());

        // Node import runs no clock checks (and no script).
        QVERIFY(CheckParams::set(serverContext(), m_node, {{"script", "error('всегда')"}}).ok()
                && save(tables, false).ok());
        QCOMPARE(stored(m_node, kCurrent).columnValues(kT1), (QVariantList{2.0, 1.0}));
        QCOMPARE(checkLog(m_node).rowCount(), 0);
    }

    void findingsOfASave()
    {
        QVERIFY(CheckParams::set(serverContext(), m_node, {{"script", "checkExpr(Enum.All, value('S1_t1') > 90, 't1 > 90');\n"
                                                     "checkExpr(Enum.Day, value('S1_t1') > 90, 'Перегрев');\n"
                                                     "checkError(Enum.Day, 'NSD')"}}).ok());
        ZeltoTable days = archive({{at(0), 85}, {at(1), 95}});
        days.setValue(1, "NSD", 2);   // the second of the flags this node's model names
        QVERIFY(save({{kDay, days}, {kHour, archive({{at(1, 1), 91}})}}).ok());

        // Findings on one row are a log row each; all share the node's last_update. The flags are named by the
        // node's stored model.
        const QVariant lastUpdate = nodeRow(m_node).value("last_update");
        QCOMPARE(checkLog(m_node).columnValues("ctime"), (QVariantList{lastUpdate, lastUpdate, lastUpdate, lastUpdate}));
        QStringList messages = CheckLog::errors(serverContext(), m_node, kDay, at(1)).value();
        messages.sort();
        QCOMPARE(messages, (QStringList{"t1 > 90", "НС вычислителя: Отключение сетевого питания", "Перегрев"}));
        QCOMPARE(stored(m_node, kDay).columnValues("CHECK_ERR"), (QVariantList{QVariant(), true}));

        // The script sees only the new rows; one that throws is journalled, the save goes on.
        m_clock.advance(1000);   // times are stored to the second
        QVERIFY(save({{kDay, archive({{at(2), 99}})}}).ok());
        QCOMPARE(QList<int>({checkLog(m_node).rowCount(),
                             Nodes::find(serverContext(), m_node).valueOr(QVariantMap()).value("check_fails").toInt()}),
                 QList<int>({6, 2}));
        QVERIFY(CheckParams::set(serverContext(), m_node, {{"script", "noSuchFunction()"}}).ok());
        QCOMPARE(outcome(save({{kDay, archive({{at(3), 1}})}})), "ok");
        QCOMPARE(stored(m_node, kDay).rowCount(), 4);
        QVERIFY2(lastJournalEntries().startsWith("ERROR") && lastJournalEntries().contains("noSuchFunction"),
                 qPrintable(lastJournalEntries()));
    }

    void checkParameters()
    {
        QCOMPARE(CheckParams::checkArchives(serverContext(), m_node).value(), 0);   // no parameters: nothing to do
        QVERIFY(save({{kDay, archive({{at(0), 95}, {at(1), 50}})}, {kHour, archive({{at(0, 1), 96}, {at(0, 2), 97}})},
                      {kCurrent, archive({{at(0, 3), 10}})}}).ok());
        const QVariantList criterion{"checkExpr", "Enum.All", "value('S1_t1') > 90", "'t1'"};
        const QVariantMap params{{"criteria", QVariantList{QVariant(criterion)}}, {"note", "kept"}};
        QVERIFY(CheckParams::set(serverContext(), m_node, params).ok());
        QCOMPARE(CheckParams::load(serverContext(), m_node).value(), params);

        // Twice: the same count and rows, all with the second run's time.
        QCOMPARE(CheckParams::checkArchives(serverContext(), m_node).value(), 3);
        const QDateTime firstRun = checkLog(m_node).value(0, "ctime").toDateTime();
        m_clock.advance(1000);
        QCOMPARE(CheckParams::checkArchives(serverContext(), m_node).value(), 3);
        const ZeltoTable log = checkLog(m_node);
        QCOMPARE(log.columnValues("archive"), (QVariantList{kDay, kHour, kHour}));   // by atime
        const QVariant secondRun = log.value(0, "ctime");
        QCOMPARE(QList<QDateTime>({firstRun, secondRun.toDateTime()}),
                 QList<QDateTime>({m_clock.now().addSecs(-1), m_clock.now()}));
        QCOMPARE(log.columnValues("ctime"), (QVariantList{secondRun, secondRun, secondRun}));
        QCOMPARE(stored(m_node, kHour).columnValues("CHECK_ERR"), (QVariantList{true, true}));

        // A script that throws stores nothing.
        QVERIFY(CheckParams::set(serverContext(), m_node, {{"script", "error('x'); throw 'сбой';"}}).ok());
        const ZeltoResult<int> thrown = CheckParams::checkArchives(serverContext(), m_node);
        QVERIFY2(!thrown.ok() && thrown.status().message().contains("сбой"), qPrintable(thrown.status().message()));
        QCOMPARE(checkLog(m_node).rowCount(), 3);

        // No parameters any more: no findings and no marks either.
        QVERIFY(CheckParams::set(serverContext(), m_node, QVariantMap()).ok());
        QVERIFY(testDatabase().data("nodes", m_node, "check_params").value().isNull());
        QCOMPARE(checkLog(m_node).rowCount(), 0);
        for (const QString &archive : ArchiveStore::checkedArchives())
            QVERIFY2(!stored(m_node, archive).containsColumn("CHECK_ERR"), qPrintable(archive));
        QCOMPARE(stored(m_node, kHour).rowCount(), 2);
    }

    void dateMergeMatchesTableMergeAndSort()
    {
        // Random tables (repeated, unordered dates, short rows) against the table's own merge, sort and filter.
        QRandomGenerator random(20240301);
        auto randomTable = [&](int rows, const QStringList &own) {
            ZeltoTable table(QStringList{ArchiveDates::column()} + own);
            for (int r = 0; r < rows; ++r) {
                QVariantList cells{at(0).addSecs(3600 * random.bounded(30))};
                for (int c = random.bounded(own.size() + 1); c > 0; --c)
                    cells.append(random.bounded(100));
                table.appendRow(cells);
            }
            return table;
        };
        for (int round = 0; round < 200; ++round) {
            ZeltoTable merged = randomTable(random.bounded(12), {"a", "b"});
            if (round % 2)
                merged.sort(ArchiveDates::column());
            const ZeltoTable incoming = randomTable(random.bounded(8), {"b", "c"});
            ZeltoTable expected = merged;
            expected.merge(incoming, ArchiveDates::column());
            expected.sort(ArchiveDates::column());
            ArchiveDates::merge(merged, incoming);
            QCOMPARE(merged, expected);

            const QDateTime from = at(0, random.bounded(24));
            const QDateTime to = from.addSecs(3600 * random.bounded(-2, 10));
            QCOMPARE(ArchiveDates::range(expected, from, to), expected.filter(ArchiveDates::column(), from, to));
            QCOMPARE(ArchiveDates::range(expected, QDateTime(), to), expected.filter(ArchiveDates::column(), QVariant(), to));
        }
    }

    // Two nodes with the same stored archives get the same new rows, saved changing the archive's end in its stored
    // form (the tail) and merging the whole archive: the same bytes, the same rows handed back and fill entries; range
    // reads of either way give the same rows. The tail save is the stored bytes spliced where the row says it can be.
    void tailSavesStoreWhatWholeSavesStore_data()
    {
        QTest::addColumn<int>("storedHours");   // hours stored before (0: none)
        QTest::addColumn<int>("first");     // the first new hour
        QTest::addColumn<int>("count");     // new hours
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("spliced");
        QTest::newRow("a column only in the new rows") << 1100 << 1100 << 24 << "new column" << true;
        QTest::newRow("an empty stored archive") << 0 << 0 << 24 << "" << false;
        QTest::newRow("an empty cell") << 1100 << 1090 << 24 << "empty cell" << true;
        QTest::newRow("text and a marker among numbers") << 1100 << 1095 << 24 << "text" << false;
    }

    void tailSavesStoreWhatWholeSavesStore()
    {
        QFETCH(int, storedHours);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(QString, change);
        QFETCH(bool, spliced);
        QDateTime from, to;
        QCOMPARE(ArchiveStore::archiveRange(serverContext(), m_node, kHour, from, to).value().rowCount(), 0);   // never saved
        const int other = newNode(2);
        QVERIFY(other > 0);
        QRandomGenerator random(20261207);
        const auto hours = [&](int firstHour, int hourCount) {
            ZeltoTable table(QStringList{ArchiveDates::column(), kT1, "S1_Q"});
            for (int h = firstHour; h < firstHour + hourCount; ++h)
                table.appendRow(QVariantList{at(0).addSecs(3600LL * h), std::round(random.bounded(100.0) * 100) / 100,
                                             1000 + h * 0.001});
            return table;
        };
        // Daily and monthly records on the same grid as the hours do as well.
        const auto tables = [&](int node, const ZeltoTable &rows) {
            return ZeltoTableMap{{"info", record({{"id", node}})}, {kHour, rows}, {kDay, rows}, {kMonth, rows}};
        };
        if (storedHours > 0) {
            const ZeltoTable before = hours(0, storedHours);
            for (int node : {m_node, other}) {
                ZeltoTableMap saved = tables(node, before);
                QCOMPARE(outcome(ArchiveStore::save(serverContext(), saved, false)), "ok");
            }
        }
        const QVariant storedBytes = testDatabase().storedData("nodes", m_node, kHour).value();

        ZeltoTable incoming = hours(first, count);
        if (change == "new column") {
            incoming.setValue(3, "S1_new", 1.5);
        } else if (change == "empty cell") {
            incoming.setValue(0, "S1_Q", QVariant());
        } else if (change == "text") {
            incoming.setValue(count - 1, kT1, "нет данных");
            incoming.setValue(5, "S1_Q", QVariant::fromValue(ZeltoOutOfRange()));
        }
        ZeltoTableMap results[2];
        for (int way = 0; way < 2; ++way) {
            ArchiveStore::setSplicing(way == 0);
            results[way] = tables(way == 0 ? m_node : other, incoming);
            QCOMPARE(outcome(ArchiveStore::save(serverContext(), results[way], false)), "ok");
        }
        ArchiveStore::setSplicing(true);
        const QByteArray whole = testDatabase().storedData("nodes", other, kHour).value().toByteArray();
        for (const QString &archive : {kHour, kDay, kMonth}) {
            QCOMPARE(testDatabase().storedData("nodes", m_node, archive).value(),
                     testDatabase().storedData("nodes", other, archive).value());
            QCOMPARE(results[0].value(archive), results[1].value(archive));
            QCOMPARE(results[0].value(archive), ArchiveDates::range(::stored(m_node, archive), at(0).addSecs(3600LL * first),
                                                                   QDateTime()));
        }
        QCOMPARE(ArchiveStore::fillData(serverContext(), m_node).value(), ArchiveStore::fillData(serverContext(), other).value());

        // The stored bytes with their rows from the first new hour on replaced: the whole save's, where the row
        // says they splice.
        ZeltoTableSplice splice;
        QByteArray tail;
        const int cut = qMin(first, storedHours);
        QCOMPARE(splice.open(storedBytes.toByteArray()) && splice.replaceRows(cut, results[1].value(kHour), tail), spliced);
        if (spliced)
            QCOMPARE(tail, whole);

        // Range reads decode only the rows asked for, with the same result.
        const ZeltoTable all = ::stored(m_node, kHour);
        QCOMPARE(all.rowCount(), qMax(storedHours, first + count));
        const QList<QPair<QDateTime, QDateTime>> ranges = {
            {QDateTime(), QDateTime()}, {at(0, 5), QDateTime()}, {QDateTime(), at(20, 3)}, {at(-1), at(45, 7)},
            {at(3, 2).addSecs(1), at(3, 9)}};
        for (const auto &range : ranges) {
            const QDateTime oldest = range.first.isNull() ? all.value(0, 0).toDateTime() : range.first;
            const QDateTime newest = range.second.isNull() ? all.value(all.rowCount() - 1, 0).toDateTime() : range.second;
            for (bool splicing : {false, true}) {
                ArchiveStore::setSplicing(splicing);
                QDateTime rangeFrom = range.first, rangeTo = range.second;
                QCOMPARE(ArchiveStore::archiveRange(serverContext(), m_node, kHour, rangeFrom, rangeTo).value(),
                         ArchiveDates::range(all, oldest, newest));
                QCOMPARE(QList<QDateTime>({rangeFrom, rangeTo}), QList<QDateTime>({oldest, newest}));
            }
        }
        ArchiveStore::setSplicing(true);
        // Not an archive column: nothing, without the name reaching a statement (which would fail).
        for (const char *name : {"hour_data FROM users --", "check_params"}) {
            const ZeltoResult<ZeltoTable> rows = ArchiveStore::archiveRange(serverContext(), m_node, name, from, to);
            QVERIFY2(rows.ok() && rows.value().rowCount() == 0, qPrintable(rows.status().message()));
        }
    }

private:
    ZeltoStatus save(ZeltoTableMap tables, bool check = true, const QString &note = QString())
    {
        if (!tables.contains("info"))
            tables.insert("info", record({{"id", m_node}}));
        return ArchiveStore::save(serverContext(), tables, check, note);
    }

    ZeltoTestClock m_clock{QDateTime(QDate(2024, 6, 1), QTime(12, 0))};   // the database's: save and check times
    std::unique_ptr<TempDatabaseHome> m_home;
    int m_node = -1;
    int m_commits = 0;   // transactions SQLite has committed on the server's connection
};

QTEST_GUILESS_MAIN(TestArchiveStore)
#include "tst_archivestore.moc"
