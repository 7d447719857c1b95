// What the listeners share: the account of bytes held for requests, the
// per-address connection cap and the Host names that are this server's.

#include "zeltoaddresscap.h"
#include "zeltohostnames.h"
#include "zeltorequestbuffers.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QtTest>

class TestZeltoListeners : public QObject
{
    Q_OBJECT

private slots:
    void buffersCloseWhoHoldsMost()
    {
        ZeltoRequestBuffers buffers(16);
        QStringList closed;
        const int a = buffers.enter([&] { closed << "a"; });
        const int b = buffers.enter([&] { closed << "b"; });
        const int c = buffers.enter([&] { closed << "c"; });
        QVERIFY(buffers.hold(a, 10) && buffers.hold(b, 3) && buffers.hold(c, 3));
        QVERIFY(closed.isEmpty());
        // c's growth passes the limit: a holds most and goes, c goes on.
        QVERIFY(buffers.hold(c, 5));
        QCOMPARE(closed, QStringList{"a"});
        QCOMPARE(buffers.total(), qint64(8));
        // Now c holds most: it is told to close itself, and b stays.
        QVERIFY(!buffers.hold(c, 14));
        QCOMPARE(closed, QStringList{"a"});
        QCOMPARE(buffers.total(), qint64(3));
        QVERIFY(!buffers.hold(a, 1));   // gone: nothing to hold
        // A shrinking holder is never closed, even when the limit was lowered under it.
        buffers.setLimit(2);
        QVERIFY(buffers.hold(b, 3));
        buffers.leave(b);
        QCOMPARE(buffers.total(), qint64(0));

        QCOMPARE(ZeltoRequestBuffers::limitFromSetting(16), qint64(16) << 20);
        QCOMPARE(ZeltoRequestBuffers::limitFromSetting("16"), qint64(16) << 20);
        for (const QVariant &other : {QVariant(0), QVariant(-3), QVariant("x"), QVariant(), QVariant(1.5)})
            QCOMPARE(ZeltoRequestBuffers::limitFromSetting(other), ZeltoRequestBuffers::DefaultLimit);
    }

    void capPerAddress()
    {
        ZeltoAddressCap cap;
        cap.setCap(2);
        const QHostAddress one("10.0.0.1"), mapped("::ffff:10.0.0.1"), two("10.0.0.2");
        // An IPv4 peer of a dual-stack listener is the same address.
        QVERIFY(cap.admit(one) && cap.admit(mapped));
        QVERIFY(!cap.admit(one));
        QVERIFY(cap.admit(two));
        cap.release(mapped);
        QVERIFY(cap.admit(one));
        QCOMPARE(cap.count(one), 2);
        cap.setCap(0);   // no cap
        QVERIFY(cap.admit(one) && cap.admit(one));
        QCOMPARE(cap.count(one), 4);

        QCOMPARE(ZeltoAddressCap::capFromSetting(0), 0);
        QCOMPARE(ZeltoAddressCap::capFromSetting("5"), 5);
        for (const QVariant &other : {QVariant(-1), QVariant("many"), QVariant()})
            QCOMPARE(ZeltoAddressCap::capFromSetting(other), ZeltoAddressCap::DefaultCap);
    }

    void hostNames_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const QByteArray &host, bool allowed) {
            QTest::newRow(host.constData()) << host << allowed;
        };
        row("127.0.0.1:8080", true);
        row("127.0.0.1", true);
        row("localhost", true);
        row("LocalHost.:80", true);
        row("[::1]:9", true);
        row("[::ffff:127.0.0.1]", true);
        row("scada.example", true);       // from the setting
        row("SCADA.example:443", true);
        row("203.0.113.7", true);         // an address of the setting (NAT)
        row(QHostInfo::localHostName().toUtf8(), true);
        row(QHostInfo::localHostName().toUpper().toUtf8() + ":1", true);
        row("rebind.attacker.example:8080", false);
        row("localhost.attacker.example", false);
        row("127.0.0.1.nip.io", false);
        row("203.0.113.8", false);
        row("::1", false);                // IPv6 needs its brackets
        row("[::1", false);
        row("[::1]x", false);
        row("127.0.0.1:80x", false);
        row("a b", false);
        row("", false);
        for (const QHostAddress &own : QNetworkInterface::allAddresses())
            if (own.protocol() == QAbstractSocket::IPv4Protocol && !own.isLoopback())
                row(own.toString().toUtf8() + ":80", true);
    }

    void hostNames()
    {
        QFETCH(QByteArray, host);
        QFETCH(bool, allowed);
        ZeltoHostNames names;
        names.setExtra({"Scada.Example:443", " 203.0.113.7 ", "not a name"});
        QCOMPARE(names.allows(host), allowed);
    }
};

QTEST_GUILESS_MAIN(TestZeltoListeners)
#include "tst_zeltolisteners.moc"
