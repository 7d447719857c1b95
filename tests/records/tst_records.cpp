// What the wire cannot show of the record rules: the order of change notifications,
// held back while a transaction is open. The rest is tested end to end.

#include "groups.h"
#include "lasterror.h"
#include "nodes.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Notification names in order, each with its id.
QStringList notes(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &args : spy)
        result.append(args.at(0).toString() + QLatin1Char(' ') + args.at(1).toString());
    return result;
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(m_home.open(), qPrintable(lastError())); }

    void removalsAnnounceContainerFirstThenContents()
    {
        const int group = Groups::save({{"name", "Удаляемая"}});
        const int a = node(group), b = node(group);
        const int t1 = task(a), t2 = task(b);
        QVERIFY(group > 0 && a > 0 && b > 0 && t1 > 0 && t2 > 0);
        QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
        QVERIFY(Groups::remove(group));
        QStringList got = notes(spy);
        QCOMPARE(got.size(), 5);
        QCOMPARE(got.first(), QStringLiteral("groupRemoved %1").arg(group));
        std::sort(got.begin() + 1, got.begin() + 3);
        std::sort(got.begin() + 3, got.end());
        QCOMPARE(got.mid(1), (QStringList{QStringLiteral("nodeRemoved %1").arg(a), QStringLiteral("nodeRemoved %1").arg(b),
                                          QStringLiteral("taskRemoved %1").arg(t1), QStringLiteral("taskRemoved %1").arg(t2)}));

        // A node's tasks go before the node itself.
        const int lone = node();
        const int t3 = task(lone);
        spy.clear();
        QVERIFY(Nodes::remove(lone));
        QCOMPARE(notes(spy), (QStringList{QStringLiteral("taskRemoved %1").arg(t3), QStringLiteral("nodeRemoved %1").arg(lone)}));
    }

    void savesInsideTransactionAnnounceNothing()
    {
        QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
        int id = -1, taskId = -1;
        {
            TransactionScope scope;
            id = node();
            taskId = task(id);
            QVERIFY(Tasks::save({{"id", taskId}, {"channel", QVariantMap{{"code", "TCP"}}}, {"timetable", QVariantMap()}}) == taskId);
            QVERIFY(scope.commit());
        }
        QVERIFY(id > 0 && taskId > 0);
        QCOMPARE(spy.count(), 0);
        Nodes::changed(id);
        Tasks::changed(taskId);
        QCOMPARE(notes(spy), (QStringList{QStringLiteral("nodeSaved %1").arg(id), QStringLiteral("taskSaved %1").arg(taskId)}));
    }

    // A stored value that cannot be written undoes the row written before it.
    void fullTaskFormIsAllOrNothing()
    {
        const int id = task(node());
        const QVariantMap before = Tasks::get(id);
        QVERIFY(Database::execute("CREATE TEMP TRIGGER refuse BEFORE UPDATE ON tasks_data BEGIN SELECT RAISE(ABORT, 'отказ'); END"));
        QCOMPARE(Tasks::save({{"id", id}, {"mon_interval", 5}, {"channel", QVariantMap{{"code", "TCP"}}}}), -1);
        QVERIFY(Database::execute("DROP TRIGGER refuse"));
        QCOMPARE(Tasks::get(id), before);
    }

private:
    int node(int group = 0)
    {
        return Nodes::save({{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", ++m_serial}, {"group_id", group}});
    }
    int task(int nodeId) { return Tasks::save({{"node_id", nodeId}, {"channel", QVariantMap{{"code", "COM"}}}}); }

    TempDatabaseHome m_home;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
