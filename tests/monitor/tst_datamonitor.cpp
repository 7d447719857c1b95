// The data monitor as the server's own work sees it (nobody logged in).

#include "checkparams.h"
#include "datamonitor.h"
#include "monitorresults.h"
#include "nodes.h"
#include "tasks.h"
#include "outcome.h"
#include "tempdatabasehome.h"

#include <QtTest>

#include <memory>

class TestDataMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCOMPARE(outcome(m_home.open()), "ok");
        m_polling.reset(new TaskManager(&testDatabase()));
    }
    void cleanup() { m_monitor.reset(); }
    void cleanupTestCase() { m_polling.reset(); }

    void watchedNodesAndTheirData()
    {
        const int second = newNode("Б узел");
        const int taskless = newNode("Без задачи", true);
        const int first = newNode("А узел");
        const int unwatched = newNode("В узел");
        // Stored current values are read when an entry is first looked at, not when it is made.
        storeCurrent(first, 61.5, QVariant());
        storeCurrent(second, 62.5, 40.0);
        storeCurrent(unwatched, 63.5, QVariant());
        m_monitor.reset(new DataMonitor(&testDatabase(), 3600 * 1000, &m_clock, m_polling.get()));
        QCOMPARE(m_monitor->getData(serverContext()).columnNames(), QStringList({"MON_ERR", "CHECK_MSG"}));

        m_monitor->append(serverContext(), {first, second, taskless, 999999});
        QCOMPARE(m_monitor->subscriptions(-1), QSet<int>({first, second}));
        QVERIFY(!m_monitor->isMonitoredFor(0, first));
        QCOMPARE(m_monitor->nodeData(taskless), QVariantMap());
        // Results for a node without an entry are not announced. Rows by node name: the
        // stored values, a result over them; a value only one node has is an unused marker
        // in the other's row.
        QCOMPARE(announced({{{"node_id", taskless}, {"S1_t1", 1.0}}, {{"node_id", second}, {"S1_t1", 5.0}}}),
                 QList<int>{second});
        const ZeltoTable data = m_monitor->getData(serverContext());
        QCOMPARE(data.columnValues("node_id"), QVariantList({first, second}));
        QCOMPARE(data.columnValues("S1_t1"), QVariantList({61.5, 5.0}));
        QCOMPARE(data.columnValues("S1_t2"), QVariantList({QVariant::fromValue(ZeltoUnused()), 40.0}));
        QVERIFY(data.value(0, "MON_ERR").isNull());
        QCOMPARE(m_monitor->nodeData(unwatched).value("S1_t1"), QVariant(63.5));
        // (Removing watched nodes, and a user's last connection ending what they watched: test_monitor.)
    }

    void resultsAreCheckedAndAnnouncedOnce()
    {
        const int node = newNode("Проверяемый");
        QVERIFY(CheckParams::set(serverContext(), node, {{"script", "if (value('S1_t1') > 90) { error('перегрев'); error('выше 90'); }"}}).ok());
        m_monitor->append(serverContext(), {node});

        // Two results close together: one announcement, the later values kept.
        QCOMPARE(announced({{{"node_id", node}, {"S1_t1", 95.0}, {"MON_ERR", QVariant()}},
                            {{"node_id", node}, {"S1_t1", 96.0}, {"S1_t2", 40.0}, {"MON_ERR", QVariant()}}}),
                 QList<int>{node});
        QVariantMap data = m_monitor->nodeData(node);
        QCOMPARE(QVariantList({data["S1_t1"], data["CHECK_ERR"], data["CHECK_MSG"]}),
                 QVariantList({96.0, true, "перегрев\nвыше 90"}));

        // A failed run keeps the values it did not bring and carries its error.
        QCOMPARE(announced({{{"node_id", node}, {"S1_t1", 50.0}, {"MON_ERR", QVariant()}},
                            {{"node_id", node}, {"MON_ERR", "Прибор не отвечает"}}}), QList<int>{node});
        data = m_monitor->nodeData(node);
        QCOMPARE(QVariantList({data["MON_ERR"], data["S1_t2"], data["CHECK_ERR"]}),
                 QVariantList({"Прибор не отвечает", 40.0, false}));
        QVERIFY(data.value("CHECK_MSG").isNull());
        // A full poll saved afterwards has reached the device: the failure goes.
        ZeltoSystem::instance()->notify("archivesSaved", node);
        QVERIFY(QTest::qWaitFor([&]() { return m_monitor->nodeData(node).value("MON_ERR").isNull(); }, 5000));
    }

    void taskNoLongerMainEndsTheEntry()
    {
        const int node = newNode("Главная задача");
        const int task = Tasks::mainTaskOfNode(serverContext(), node).valueOr(-1);
        m_monitor->append(serverContext(), {node});
        const auto saved = [&](int flag) {
            Tasks::setMain(serverContext(), task, flag).ok();
            ZeltoSystem::instance()->notify("taskSaved", task);
            return QTest::qWaitFor([&]() { return m_monitor->nodeData(node).isEmpty() == (flag == 0); }, 5000);
        };
        QVERIFY(saved(0));
        QCOMPARE(m_monitor->subscriptions(-1), QSet<int>());
        // Main again: a new entry, not watched.
        QVERIFY(saved(1));
        QCOMPARE(m_monitor->nodeData(node).value("task_id").toInt(), task);
        ZeltoSystem::instance()->notify("taskRemoved", task);
        QVERIFY(QTest::qWaitFor([&]() { return m_monitor->nodeData(node).isEmpty(); }, 5000));
    }

private:
    // A node with a main task unless taskless; a new monitor reads the tasks.
    int newNode(const QString &name, bool taskless = false)
    {
        const int node = Nodes::save(serverContext(), {{"model_code", "QRV2"}, {"model_name", "ТВ-2"},
                                                       {"number", ++m_serial}, {"name", name}}).valueOr(-1);
        const QVariantMap channel{{"code", "COM"}, {"port", QString("COM%1").arg(node)}};
        if (!taskless)
            Tasks::save(serverContext(), {{"node_id", node}, {"channel", channel}});
        m_monitor.reset();
        m_monitor.reset(new DataMonitor(&testDatabase(), 3600 * 1000, &m_clock, m_polling.get()));
        return node;
    }

    // The node's stored current data: an earlier reading, then the latest, whose values the monitor takes
    // (S1_t2 left out when null).
    void storeCurrent(int node, double t1, const QVariant &t2)
    {
        ZeltoTable current({"date", "S1_t1"});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 6), QTime(8, 0)), t1 - 10});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 6), QTime(9, 0)), t1});
        if (!t2.isNull())
            current.setValue(1, "S1_t2", t2);
        QVERIFY(testDatabase().write("nodes", node, {{"current_data", QVariant::fromValue(current)}}).ok());
    }

    QList<int> announced(const QList<QVariantMap> &results)
    {
        return announcedAfter(m_clock, m_polling.get(), m_monitor.get(), results);
    }

    ZeltoTestClock m_clock{QDateTime(QDate(2024, 5, 6), QTime(10, 0))};
    TempDatabaseHome m_home;
    std::unique_ptr<TaskManager> m_polling;
    std::unique_ptr<DataMonitor> m_monitor;
    int m_serial = 1;
};

QTEST_GUILESS_MAIN(TestDataMonitor)
#include "tst_datamonitor.moc"
