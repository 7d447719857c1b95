// The data monitor's entries and subscription rules as the server's own
// work sees them (nobody logged in), the refresh by monitor results with the
// check script, and the announcements. Users and their groups are seen end
// to end (e2e/test_monitor.py).

#include "checkparams.h"
#include "database.h"
#include "datamonitor.h"
#include "nodes.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "zeltomarkers.h"
#include "zeltosystem.h"

#include <QtTest>

class TestDataMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void onlyNodesWithAMainTaskAreWatched();
    void emptyDataHasItsTwoColumns();
    void resultsAreCheckedAndAnnouncedOnce();
    void taskNoLongerMainEndsTheEntry();

private:
    int newNode(bool withTask);
    // The "nodeMonitored" announcements within ms after results for the nodes.
    QList<int> announcedAfter(const QList<QVariantMap> &results, int ms = 600);

    TempDatabaseHome m_home;
    int m_serial = 1;
};

void TestDataMonitor::initTestCase()
{
    QVERIFY(m_home.open());
}

void TestDataMonitor::init()
{
    DataMonitor::createInstance(3600 * 1000);
}

void TestDataMonitor::cleanup()
{
    DataMonitor::destroyInstance();
}

int TestDataMonitor::newNode(bool withTask)
{
    const int node = Nodes::save({{"model_code", "QRV2"}, {"model_name", "ТВ-2"}, {"number", ++m_serial}});
    if (withTask) {
        const int task = Tasks::save({{"node_id", node},
                                      {"channel", QVariantMap{{"code", "COM"}, {"port", QString("COM%1").arg(node)}}},
                                      {"archives", QStringList{"currentData"}}});
        if (task < 0)
            return -1;
        // Entries come at construction and with "taskSaved".
        DataMonitor::destroyInstance();
        DataMonitor::createInstance(3600 * 1000);
    }
    return node;
}

QList<int> TestDataMonitor::announcedAfter(const QList<QVariantMap> &results, int ms)
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        ZeltoSystem::instance()->notify(QStringLiteral("monitored"), QVariant::fromValue(table));
    }
    QTest::qWait(ms);
    QList<int> nodes;
    for (const QList<QVariant> &signal : qAsConst(spy)) {
        if (signal.at(0).toString() == QLatin1String("nodeMonitored"))
            nodes.append(signal.at(1).toInt());
    }
    return nodes;
}

void TestDataMonitor::onlyNodesWithAMainTaskAreWatched()
{
    const int watched = newNode(true);
    const int taskless = newNode(false);
    DataMonitor::append({watched, taskless, 999999});
    QCOMPARE(DataMonitor::subscriptions(-1), QSet<int>{watched});
    QVERIFY(DataMonitor::isMonitoredFor(-1, watched));
    QVERIFY(!DataMonitor::isMonitoredFor(0, watched));
    QCOMPARE(DataMonitor::nodeData(taskless), QVariantMap());
    QCOMPARE(DataMonitor::nodeData(watched).value("number").toInt(), m_serial - 1);

    // Results of unwatched nodes and nodes without an entry change nothing
    // and are not announced.
    QCOMPARE(announcedAfter({{{"node_id", taskless}, {"S1_t1", 1.0}}}), QList<int>());
    DataMonitor::remove({watched});
    QCOMPARE(DataMonitor::subscriptions(-1), QSet<int>());
    DataMonitor::append({watched});
    DataMonitor::removeUser(-1);
    QCOMPARE(DataMonitor::subscriptions(-1), QSet<int>());
}

void TestDataMonitor::emptyDataHasItsTwoColumns()
{
    ZeltoTable data = DataMonitor::getData();
    QCOMPARE(data.rowCount(), 0);
    QCOMPARE(data.columnNames(), QStringList({"MON_ERR", "CHECK_MSG"}));

    // Rows by node name; a value one node has and the other lacks is an
    // unused marker there.
    const int second = newNode(true);
    const int first = newNode(true);
    QVERIFY(Nodes::save({{"id", first}, {"name", "А узел"}}) == first);
    QVERIFY(Nodes::save({{"id", second}, {"name", "Б узел"}}) == second);
    DataMonitor::destroyInstance();
    DataMonitor::createInstance(3600 * 1000);
    DataMonitor::append({first, second});
    QCOMPARE(announcedAfter({{{"node_id", second}, {"S1_t1", 5.0}}}), QList<int>{second});
    data = DataMonitor::getData();
    QCOMPARE(data.columnValues("node_id"), QVariantList({first, second}));
    QCOMPARE(data.value(0, "S1_t1").userType(), qMetaTypeId<ZeltoUnused>());
    QCOMPARE(data.value(1, "S1_t1"), QVariant(5.0));
    QVERIFY(data.value(0, "MON_ERR").isNull());
    QCOMPARE(data.value(0, "CHECK_ERR"), QVariant(false));
}

void TestDataMonitor::resultsAreCheckedAndAnnouncedOnce()
{
    const int node = newNode(true);
    QVERIFY(CheckParams::set(node, {{"script", "if (value('S1_t1') > 90) { error('перегрев'); error('выше 90'); }"}}));
    DataMonitor::append({node});

    // Two results close together: one announcement, the later values kept.
    QCOMPARE(announcedAfter({{{"node_id", node}, {"S1_t1", 95.0}, {"MON_ERR", QVariant()}},
                             {{"node_id", node}, {"S1_t1", 96.0}, {"S1_t2", 40.0}, {"MON_ERR", QVariant()}}}),
             QList<int>{node});
    QVariantMap data = DataMonitor::nodeData(node);
    QCOMPARE(data.value("S1_t1").toDouble(), 96.0);
    QCOMPARE(data.value("CHECK_ERR"), QVariant(true));
    QCOMPARE(data.value("CHECK_MSG").toString(), QStringLiteral("перегрев\nвыше 90"));

    // A failed run keeps the values it did not bring and carries its error;
    // the findings go with a good value.
    QCOMPARE(announcedAfter({{{"node_id", node}, {"S1_t1", 50.0}, {"MON_ERR", QVariant()}},
                             {{"node_id", node}, {"MON_ERR", "Прибор не отвечает"}}}),
             QList<int>{node});
    data = DataMonitor::nodeData(node);
    QCOMPARE(data.value("MON_ERR").toString(), QStringLiteral("Прибор не отвечает"));
    QCOMPARE(data.value("S1_t2").toDouble(), 40.0);
    QCOMPARE(data.value("CHECK_ERR"), QVariant(false));
    QVERIFY(data.value("CHECK_MSG").isNull());
}

void TestDataMonitor::taskNoLongerMainEndsTheEntry()
{
    const int node = newNode(true);
    const int task = Tasks::mainTaskOfNode(node);
    DataMonitor::append({node});
    QVERIFY(Tasks::setMain(task, 0));
    ZeltoSystem::instance()->notify(QStringLiteral("taskSaved"), task);
    QVERIFY(QTest::qWaitFor([&]() { return DataMonitor::nodeData(node).isEmpty(); }, 5000));
    QCOMPARE(DataMonitor::subscriptions(-1), QSet<int>());

    // Main again: a new entry, not yet watched.
    QVERIFY(Tasks::setMain(task, 1));
    ZeltoSystem::instance()->notify(QStringLiteral("taskSaved"), task);
    QVERIFY(QTest::qWaitFor([&]() { return !DataMonitor::nodeData(node).isEmpty(); }, 5000));
    QCOMPARE(DataMonitor::nodeData(node).value("task_id").toInt(), task);
    ZeltoSystem::instance()->notify(QStringLiteral("taskRemoved"), task);
    QVERIFY(QTest::qWaitFor([&]() { return DataMonitor::nodeData(node).isEmpty(); }, 5000));
}

QTEST_GUILESS_MAIN(TestDataMonitor)
#include "tst_datamonitor.moc"
