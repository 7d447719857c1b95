// The command table's invariants: unique names that route to their command, every
// right a command's name. Group totals over many nodes in steps and on threads.

#include "apicommand.h"
#include "archivereports.h"
#include "archivestore.h"
#include "commandcontext.h"
#include "grouptotalsjob.h"
#include "nodes.h"
#include "outcome.h"
#include "tempdatabasehome.h"
#include "zeltoenvironment.h"
#include "zeltoserver.h"

#include <QtTest>

#include <functional>

Q_DECLARE_METATYPE(GroupTotalsJob::Way)

class ApiTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ZeltoEnvironment::set("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
        QCOMPARE(outcome(m_home.open()), "ok");
    }

    void commandNamesRoutesAndRights()
    {
        QSet<QString> names, classNames;
        for (const ApiCommand *command : ApiCommand::table()) {
            QVERIFY2(!names.contains(command->name()), qPrintable(command->name()));
            QVERIFY2(!classNames.contains(command->className()), qPrintable(command->className()));
            names.insert(command->name());
            classNames.insert(command->className());
            QCOMPARE(ZeltoCommand::find(command->name()), command);
        }
        for (const ApiCommand *command : ApiCommand::table())
            QVERIFY2(command->right().isEmpty() || names.contains(command->right()), qPrintable(command->right()));
    }

    void groupTotalsJob_data()
    {
        QTest::addColumn<GroupTotalsJob::Way>("way");
        QTest::newRow("steps") << GroupTotalsJob::Way::Steps;
        QTest::newRow("threads") << GroupTotalsJob::Way::Threads;
    }

    // The table of one pass (nodes in the order asked, each once, columns in the order they first appear: the
    // later nodes add one, in a part of their own when on threads), with other work served meanwhile; a client's
    // job stops unanswered when that client disconnects, workers and all, another client's leaving changes nothing.
    void groupTotalsJob()
    {
        QFETCH(GroupTotalsJob::Way, way);
        if (m_ids.isEmpty()) {
            for (int n = 0; n < 60; ++n) {
                const QVariantMap record{{"model_code", "LWD41"}, {"model_name", "ЛВД-41"}, {"number", n + 1}};
                const int node = Nodes::save(serverContext(), record).valueOr(-1);
                const QStringList columns
                    = n < 45 ? QStringList{"date", "S1_Q", "S1_t1"} : QStringList{"date", "S1_Q", "S1_t2"};
                ZeltoTable days(columns), info({"id"});
                for (int day = 1; day <= 5; ++day) {
                    const QDateTime date(QDate(2024, 3, day), QTime(0, 0));
                    days.appendRow(QVariantList{date, n + day / 10.0, 60.0 + day});
                }
                info.appendRow(QVariantList{node});
                ZeltoTableMap archives{{"info", info}, {"day_data", days}};
                QVERIFY(node > 0);
                QCOMPARE(outcome(ArchiveStore::save(serverContext(), archives, false)), "ok");
                m_ids.append(node);
            }
        }
        QList<int> ids = m_ids;
        ids << ids.at(7) << 999999;
        const QDate from(2024, 3, 2), to(2024, 3, 4);
        const CommandContext server = serverContext();
        const ZeltoTable wanted = ArchiveReports::groupTotals(server, ids, from, to).value();
        QCOMPARE(wanted.rowCount(), 60);
        QCOMPARE(wanted.columnNames().mid(6), QStringList({"S1_Q", "S1_t1", "S1_t2"}));
        const ZeltoTable nodes = Nodes::list(server).value();

        ZeltoTable totals;
        bool done = false;
        new GroupTotalsJob(testDatabase(), nodes, GroupTotalsJob::listedOnce(nodes, ids), from, to,
                           [&](const ZeltoTable &result) { totals = result, done = true; }, -1, nullptr, way);
        int served = 0;
        std::function<void()> request = [&]() {
            if (done)
                return;
            ++served;
            QTimer::singleShot(0, request);
        };
        QTimer::singleShot(0, request);
        QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
        QVERIFY2(served >= 2, qPrintable(QString("requests served during the totals: %1").arg(served)));
        QCOMPARE(totals.columnNames(), wanted.columnNames());
        for (int row = 0; row < wanted.rowCount(); ++row)
            QCOMPARE(totals.toMap(row), wanted.toMap(row));
        QCOMPARE(totals.rowCount(), wanted.rowCount());

        QList<int> listed;
        for (int row = 0; row < nodes.rowCount(); ++row)
            listed << nodes.value(row, "id").toInt();
        QVERIFY(listed.size() > GroupTotalsJob::kAtOnceNodes);
        QMap<int, int> answered;   // rows, by client
        QMap<int, QPointer<GroupTotalsJob>> jobs;
        for (const int client : {7, 8}) {
            jobs.insert(client, new GroupTotalsJob(testDatabase(), nodes, listed, QDate(2024, 3, 1), QDate(2024, 3, 5),
                                                   [&answered, client](const ZeltoTable &t) { answered.insert(client, t.rowCount()); },
                                                   client, nullptr, way));
        }
        // Its workers already at work, their parts not yet taken.
        emit ZeltoServer::global()->disconnected(7);
        QTRY_VERIFY_WITH_TIMEOUT(answered.contains(8) && jobs.value(7).isNull(), 60000);
        QCOMPARE(answered, (QMap<int, int>{{8, listed.size()}}));
    }

private:
    TempDatabaseHome m_home;
    QList<int> m_ids;   // the nodes of the group totals, made once
};

QTEST_GUILESS_MAIN(ApiTest)
#include "tst_api.moc"
