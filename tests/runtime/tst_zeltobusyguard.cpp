// Work deferred while the thread is busy runs after the outermost guard, in
// order, and never inside it; a client request that arrives meanwhile is
// answered only then.

#include "zeltobusyguard.h"
#include "zeltocommand.h"
#include "zeltoserver.h"

#include <QTcpSocket>
#include <QtTest>

namespace {

class CountCommand : public ZeltoCommand
{
public:
    CountCommand() : ZeltoCommand(QStringLiteral("count"), 0) {}
    QVariant execute(const QVariantList &) override { return ++calls; }
    int calls = 0;
};

CountCommand g_count;

} // namespace

class TestZeltoBusyGuard : public QObject
{
    Q_OBJECT

private slots:
    void deferredWorkRunsAfterTheOutermostGuard()
    {
        QStringList done;
        QVERIFY(!ZeltoBusyGuard::isBusy());
        QVERIFY(!ZeltoBusyGuard::defer(this, [&] { done << "idle"; }));   // not busy: the caller goes on
        auto *doomed = new QObject;
        {
            ZeltoBusyGuard outer;
            QVERIFY(ZeltoBusyGuard::defer(this, [&] { done << "first"; }));
            {
                ZeltoBusyGuard inner;
                QVERIFY(ZeltoBusyGuard::defer(this, [&] {
                    done << "second";
                    // Busy again when its turn comes: it waits once more.
                    ZeltoBusyGuard again;
                    ZeltoBusyGuard::defer(this, [&] { done << "third"; });
                }));
                QVERIFY(ZeltoBusyGuard::defer(doomed, [&] { done << "gone"; }));
            }
            QVERIFY(ZeltoBusyGuard::isBusy());
            QTest::qWait(50);   // events turn inside the busy work
            QVERIFY(done.isEmpty());
            delete doomed;
        }
        QVERIFY(!ZeltoBusyGuard::isBusy());
        QVERIFY(done.isEmpty());   // posted, not run inside the guard's end
        QTRY_COMPARE(done, QStringList({"first", "second", "third"}));
    }

    void requestsWaitForBusyWork()
    {
        ZeltoServer *server = ZeltoServer::global();
        QVERIFY(server->listenTcp(0, QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server->tcpPort());
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE(server->clientCount(), 1);
        const int before = g_count.calls;
        {
            ZeltoBusyGuard busy;
            client.write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"count\"}\n");
            QTest::qWait(300);
            QCOMPARE(g_count.calls, before);
            QCOMPARE(client.bytesAvailable(), qint64(0));
        }
        QTRY_VERIFY(client.canReadLine());
        QCOMPARE(g_count.calls, before + 1);
        QVERIFY(client.readLine().contains("\"result\""));
        server->close();
    }
};

QTEST_GUILESS_MAIN(TestZeltoBusyGuard)
#include "tst_zeltobusyguard.moc"
