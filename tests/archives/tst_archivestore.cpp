// Saving, checking and reading node archives against a fresh database per
// test case: what a save stores and what a failed one leaves out, the fill
// statistics and node bookkeeping, the check log, and range reads.

#include "archivedates.h"
#include "archivestore.h"
#include "checklog.h"
#include "checkparams.h"
#include "database.h"
#include "nodes.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltosystem.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const QString kNodes = QStringLiteral("nodes");
const QString kHour = QStringLiteral("hour_data");
const QString kDay = QStringLiteral("day_data");
const QString kCurrent = QStringLiteral("current_data");
const QString kT1 = QStringLiteral("S1_t1");
const QString kCheckErr = QStringLiteral("CHECK_ERR");

QDateTime at(int day, int hour = 0)
{
    return QDateTime(QDate(2024, 3, 1).addDays(day), QTime(hour, 0), Qt::LocalTime);
}

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

ZeltoTable stored(int nodeId, const QString &archive)
{
    return Database::readData(kNodes, nodeId, archive).value<ZeltoTable>();
}

QVariantMap nodeRow(int nodeId)
{
    return Database::readRecord(kNodes, nodeId);
}

ZeltoTable journal()
{
    return Database::selectTable(QStringLiteral("SELECT level, message, node_id FROM journal ORDER BY rowid"));
}

ZeltoTable checkLog(int nodeId)
{
    return CheckLog::read(nodeId, QDateTime(), QDateTime());
}

QString lastError()
{
    return ZeltoSystem::instance()->lastError();
}

} // namespace

class TestArchiveStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstSaveSortsCutsAndKeepsBooks();
    void overlapReplacesAndWindowMayBeEmpty();
    void infoOnlySaveAndWarning();
    void failedClockCheckLeavesNothing();
    void findingsOfASave();
    void checkParameters();
    void rangeBounds();
    void dateMergeMatchesTableMergeAndSort();

private:
    int makeNode();
    bool save(int nodeId, ZeltoTableMap tables, bool check = true);

    std::unique_ptr<TempDatabaseHome> m_home;
};

void TestArchiveStore::init()
{
    m_home.reset(new TempDatabaseHome);
    QVERIFY(m_home->open());
    QVERIFY(Database::setSetting(QStringLiteral("checkDateReset"), true));
}

void TestArchiveStore::cleanup()
{
    m_home.reset();
}

int TestArchiveStore::makeNode()
{
    return Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                        {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                        {QStringLiteral("number"), 1}});
}

bool TestArchiveStore::save(int nodeId, ZeltoTableMap tables, bool check)
{
    if (!tables.contains(QStringLiteral("info")))
        tables.insert(QStringLiteral("info"), record({{QStringLiteral("id"), nodeId}}));
    return ArchiveStore::saveArchives(tables, check);
}

void TestArchiveStore::firstSaveSortsCutsAndKeepsBooks()
{
    QVERIFY(Database::setSetting(QStringLiteral("currentDataCount"), 3));
    const int node = makeNode();
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    ZeltoTableMap tables{{QStringLiteral("info"), record({{QStringLiteral("id"), node}})},
                         {kHour, archive({{at(0, 4), 4}, {at(0, 1), 1}, {at(0, 2), 2}})},
                         {kDay, archive({{at(2), 20}, {at(0), 0}})},
                         {kCurrent, archive({{at(0, 5), 5}, {at(0, 1), 1}, {at(0, 3), 3}, {at(0, 4), 4}})}};
    QVERIFY2(ArchiveStore::saveArchives(tables, true), qPrintable(lastError()));

    QCOMPARE(stored(node, kHour).columnValues(kT1), (QVariantList{1.0, 2.0, 4.0}));
    QCOMPARE(stored(node, kCurrent).columnValues(kT1), (QVariantList{3.0, 4.0, 5.0}));   // the newest three
    QCOMPARE(tables.value(kHour), stored(node, kHour));   // the caller holds what was stored
    const QVariantMap fill = ArchiveStore::fillData(node);
    QCOMPARE(fill.keys(), (QStringList{kDay, kHour}));
    QCOMPARE(fill.value(kHour).toMap().value(QStringLiteral("gaps")).toList(), (QVariantList{at(0, 3)}));
    const QVariantMap row = nodeRow(node);
    QCOMPARE(row.value(QStringLiteral("first_day")).toDateTime(), at(0));
    QCOMPARE(row.value(QStringLiteral("last_day")).toDateTime(), at(2));
    QCOMPARE(row.value(QStringLiteral("gap_count")).toInt(), 2);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0), (QList<QVariant>{QStringLiteral("archivesSaved"), node}));
    QCOMPARE(spy.at(1), (QList<QVariant>{QStringLiteral("nodeSaved"), node}));

    // The node record's status columns come from the stored data.
    QVERIFY(Database::saveRecord(QStringLiteral("tasks"), {{QStringLiteral("node_id"), node},
                                                           {QStringLiteral("channel_code"), QStringLiteral("c")},
                                                           {QStringLiteral("last_error"), QStringLiteral("Нет ответа")}})
            > 0);
    const QVariantMap status = Nodes::get(node);
    QCOMPARE(status.value(QStringLiteral("read_error")).toString(), QStringLiteral("Нет ответа"));
    QCOMPARE(status.value(QStringLiteral("has_hour_data")).toInt(), 1);
    QCOMPARE(status.value(QStringLiteral("has_month_data")).toInt(), 0);

    // Nested in a caller's transaction: no notifications, and its rollback wins.
    spy.clear();
    {
        TransactionScope outer;
        QVERIFY(save(node, {{kDay, archive({{at(5), 1}})}}));
        QCOMPARE(spy.count(), 0);
    }
    QCOMPARE(stored(node, kDay).rowCount(), 2);
}

void TestArchiveStore::overlapReplacesAndWindowMayBeEmpty()
{
    const int node = makeNode();
    ZeltoTable first = archive({{at(0, 1), 1}, {at(0, 2), 2}, {at(0, 3), 3}});
    first.setValue(2, QStringLiteral("S1_P1"), 0.5);
    QVERIFY(save(node, {{kHour, first}}));
    QVERIFY(save(node, {{kHour, archive({{at(0, 5), 50}, {at(0, 3), 30}, {at(0, 4), 40}})}}));
    const ZeltoTable hours = stored(node, kHour);
    QCOMPARE(hours.columnValues(kT1), (QVariantList{1.0, 2.0, 30.0, 40.0, 50.0}));
    QCOMPARE(hours.value(2, QStringLiteral("S1_P1")), QVariant(0.5));   // not in the new row: kept
    QCOMPARE(ArchiveStore::fillData(node).value(kHour).toMap().value(QStringLiteral("size")).toInt(), 5);

    QVERIFY(Database::setSetting(QStringLiteral("currentDataCount"), 0));
    QVERIFY(save(node, {{kCurrent, archive({{at(0, 1), 1}, {at(0, 2), 2}})}}));
    const QVariant current = Database::readData(kNodes, node, kCurrent);
    QVERIFY(!current.isNull());
    QCOMPARE(current.value<ZeltoTable>().rowCount(), 0);
}

void TestArchiveStore::infoOnlySaveAndWarning()
{
    const int node = makeNode();
    QVERIFY(save(node, {{kHour, archive({{at(0, 1), 1}, {at(0, 3), 3}})}, {kDay, archive({{at(0), 1}, {at(3), 3}})}}));
    const QVariant fillBefore = Database::readData(kNodes, node, QStringLiteral("fill_data"));
    QVERIFY(Database::execute(QStringLiteral("UPDATE nodes SET last_update = null, gap_count = 0 WHERE id = ?"), {node}));

    ZeltoTableMap tables{{QStringLiteral("info"), record({{QStringLiteral("id"), node},
                                                           {QStringLiteral("name"), QStringLiteral("Котельная")},
                                                           {QStringLiteral("warning"), QStringLiteral("Батарея")}})}};
    QVERIFY2(ArchiveStore::saveArchives(tables, true), qPrintable(lastError()));
    const QVariantMap row = nodeRow(node);
    QCOMPARE(row.value(QStringLiteral("name")).toString(), QStringLiteral("Котельная"));
    QVERIFY(row.value(QStringLiteral("last_update")).toDateTime().isValid());
    QCOMPARE(row.value(QStringLiteral("gap_count")).toInt(), 3);   // summed from the stored fill entries
    QCOMPARE(Database::readData(kNodes, node, QStringLiteral("fill_data")), fillBefore);
    QCOMPARE(journal().toMap(0), (QVariantMap{{QStringLiteral("level"), QStringLiteral("WARN")},
                                              {QStringLiteral("message"), QStringLiteral("Батарея")},
                                              {QStringLiteral("node_id"), node}}));
}

void TestArchiveStore::failedClockCheckLeavesNothing()
{
    const int node = makeNode();
    QVERIFY(save(node, {{kCurrent, archive({{at(5), 1}})}}));
    const QVariantMap before = nodeRow(node);

    ZeltoTable settings(QStringList{QStringLiteral("name"), QStringLiteral("value")});
    settings.appendRow(QVariantList{QStringLiteral("Ду"), QStringLiteral("50")});
    ZeltoTableMap tables{{QStringLiteral("info"), record({{QStringLiteral("id"), node},
                                                           {QStringLiteral("name"), QStringLiteral("Новое имя")}})},
                         {QStringLiteral("setting_data"), settings},
                         {kCurrent, archive({{at(3), 2}})},   // two days before the stored reading
                         {kHour, archive({{at(3, 1), 1}})}};
    QVERIFY(!ArchiveStore::saveArchives(tables, true));
    const QString expected = QStringLiteral("Обнаружен сброс даты и времени на %1")
                                 .arg(at(3).toString(QStringLiteral("dd.MM.yy hh:mm:ss")));
    QCOMPARE(lastError(), expected);
    QCOMPARE(nodeRow(node), before);
    QCOMPARE(ArchiveStore::settingData(node).rowCount(), 0);
    QCOMPARE(stored(node, kCurrent).rowCount(), 1);
    QVERIFY(Database::readData(kNodes, node, kHour).isNull());
    QCOMPARE(journal().toMap(journal().rowCount() - 1),
             (QVariantMap{{QStringLiteral("level"), QStringLiteral("ERROR")},
                          {QStringLiteral("message"), expected},
                          {QStringLiteral("node_id"), node}}));

    // Node import runs no clock checks (and no script).
    QVERIFY(CheckParams::set(node, {{QStringLiteral("script"), QStringLiteral("error('всегда')")}}));
    QVERIFY(save(node, tables, false));
    QCOMPARE(stored(node, kCurrent).columnValues(kT1), (QVariantList{2.0, 1.0}));
    QCOMPARE(checkLog(node).rowCount(), 0);
}

void TestArchiveStore::findingsOfASave()
{
    const int node = makeNode();
    QVERIFY(CheckParams::set(node, {{QStringLiteral("script"),
                                     QStringLiteral("checkExpr(Enum.All, value('S1_t1') > 90, 't1 > 90');\n"
                                                    "checkExpr(Enum.Day, value('S1_t1') > 90, 'Перегрев')")}}));
    QVERIFY(save(node, {{kDay, archive({{at(0), 85}, {at(1), 95}})}, {kHour, archive({{at(1, 1), 91}})}}));

    // Two findings on one row are two log rows; all share the node's last_update.
    const ZeltoTable log = checkLog(node);
    QCOMPARE(log.rowCount(), 3);
    const QDateTime lastUpdate = nodeRow(node).value(QStringLiteral("last_update")).toDateTime();
    QCOMPARE(log.columnValues(QStringLiteral("ctime")), (QVariantList{lastUpdate, lastUpdate, lastUpdate}));
    QStringList messages = CheckLog::errors(node, kDay, at(1));
    messages.sort();
    QCOMPARE(messages, (QStringList{QStringLiteral("t1 > 90"), QStringLiteral("Перегрев")}));
    QCOMPARE(Nodes::get(node).value(QStringLiteral("check_fails")).toInt(), 3);
    QCOMPARE(stored(node, kDay).columnValues(kCheckErr), (QVariantList{QVariant(), true}));

    // The script sees only the new rows; a script that throws is journalled
    // and the save goes on.
    QTest::qWait(1100);   // times are stored to the second
    QVERIFY(save(node, {{kDay, archive({{at(2), 99}})}}));
    QCOMPARE(checkLog(node).rowCount(), 5);
    QCOMPARE(Nodes::get(node).value(QStringLiteral("check_fails")).toInt(), 2);
    QVERIFY(CheckParams::set(node, {{QStringLiteral("script"), QStringLiteral("noSuchFunction()")}}));
    QVERIFY2(save(node, {{kDay, archive({{at(3), 1}})}}), qPrintable(lastError()));
    QCOMPARE(stored(node, kDay).rowCount(), 4);
    const ZeltoTable entries = journal();
    QCOMPARE(entries.value(entries.rowCount() - 1, QStringLiteral("level")).toString(), QStringLiteral("ERROR"));
    QVERIFY(entries.value(entries.rowCount() - 1, QStringLiteral("message")).toString().contains(
        QStringLiteral("noSuchFunction")));
}

void TestArchiveStore::checkParameters()
{
    const int node = makeNode();
    QCOMPARE(CheckParams::checkArchives(node), 0);   // no parameters: nothing to do
    QVERIFY(save(node, {{kDay, archive({{at(0), 95}, {at(1), 50}})}, {kHour, archive({{at(0, 1), 96}, {at(0, 2), 97}})},
                        {kCurrent, archive({{at(0, 3), 10}})}}));
    const QVariantMap params{{QStringLiteral("criteria"),
                              QVariantList{QVariantList{QStringLiteral("checkExpr"), QStringLiteral("Enum.All"),
                                                        QStringLiteral("value('S1_t1') > 90"), QStringLiteral("'t1'")}}},
                             {QStringLiteral("note"), QStringLiteral("kept")}};
    QVERIFY(CheckParams::set(node, params));
    QCOMPARE(CheckParams::load(node), params);

    // Twice: the same count and rows, all with the second run's time.
    QCOMPARE(CheckParams::checkArchives(node), 3);
    const QDateTime firstRun = checkLog(node).value(0, QStringLiteral("ctime")).toDateTime();
    QTest::qWait(1100);
    QCOMPARE(CheckParams::checkArchives(node), 3);
    const ZeltoTable log = checkLog(node);
    QCOMPARE(log.columnValues(QStringLiteral("archive")), (QVariantList{kDay, kHour, kHour}));   // by atime
    const QDateTime secondRun = log.value(0, QStringLiteral("ctime")).toDateTime();
    QVERIFY(secondRun > firstRun);
    QCOMPARE(log.columnValues(QStringLiteral("ctime")), (QVariantList{secondRun, secondRun, secondRun}));
    QCOMPARE(stored(node, kHour).columnValues(kCheckErr), (QVariantList{true, true}));

    // A script that throws stores nothing.
    QVERIFY(CheckParams::set(node, {{QStringLiteral("script"), QStringLiteral("error('x'); throw 'сбой';")}}));
    QCOMPARE(CheckParams::checkArchives(node), -1);
    QVERIFY2(lastError().contains(QStringLiteral("сбой")), qPrintable(lastError()));
    QCOMPARE(checkLog(node).rowCount(), 3);

    // No parameters any more: no findings and no marks either.
    QVERIFY(CheckParams::set(node, QVariantMap()));
    QVERIFY(Database::readData(kNodes, node, QStringLiteral("check_params")).isNull());
    QCOMPARE(checkLog(node).rowCount(), 0);
    for (const QString &archive : ArchiveStore::checkedArchives())
        QVERIFY2(!stored(node, archive).containsColumn(kCheckErr), qPrintable(archive));
    QCOMPARE(stored(node, kHour).rowCount(), 2);
}

void TestArchiveStore::rangeBounds()
{
    const int node = makeNode();
    QDateTime from, to;
    QCOMPARE(ArchiveStore::archiveRange(node, kHour, from, to).rowCount(), 0);   // never saved
    QVERIFY(save(node, {{kHour, archive({{at(0, 1), 1}, {at(0, 2), 2}, {at(0, 3), 3}, {at(0, 4), 4}})}}));

    QCOMPARE(ArchiveStore::archiveRange(node, kHour, from, to), stored(node, kHour));
    QCOMPARE(from, at(0, 1));   // completed for the caller
    QCOMPARE(to, at(0, 4));
    from = QDateTime();
    to = at(0, 2);
    QCOMPARE(ArchiveStore::archiveRange(node, kHour, from, to).columnValues(kT1), (QVariantList{1.0, 2.0}));
    QCOMPARE(from, at(0, 1));
    from = at(0, 2).addSecs(1);
    to = QDateTime();
    QCOMPARE(ArchiveStore::archiveRange(node, kHour, from, to).columnValues(kT1), (QVariantList{3.0, 4.0}));
    QCOMPARE(to, at(0, 4));

    // Not an archive column: refused before the name reaches a statement.
    from = to = QDateTime();
    QCOMPARE(ArchiveStore::archiveRange(node, QStringLiteral("hour_data FROM users --"), from, to).rowCount(), 0);
    QVERIFY(lastError().contains(QStringLiteral("Неизвестный архив")));
    QCOMPARE(ArchiveStore::archiveRange(node, QStringLiteral("check_params"), from, to).rowCount(), 0);
}

void TestArchiveStore::dateMergeMatchesTableMergeAndSort()
{
    // Random tables with repeated and unordered dates, columns of one table
    // only and short rows: the date merge and range give what the table's own
    // merge, sort and filter give.
    QRandomGenerator random(20240301);
    const QStringList columns{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
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
        ZeltoTable merged = randomTable(random.bounded(12), columns.mid(0, 2));
        if (round % 2)
            merged.sort(ArchiveDates::column());
        const ZeltoTable incoming = randomTable(random.bounded(8), columns.mid(1));
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

QTEST_GUILESS_MAIN(TestArchiveStore)
#include "tst_archivestore.moc"
