// The XML-RPC token table on a clock of the test's own: how long a token
// lives unused, that each use restarts that time, and which tokens go when
// too many are live. Issue, logout and the password stamp: test_xmlrpc.py.

#include "xmlrpctokens.h"

#include <QtTest>

namespace {

const qint64 kIdle = 1000;

} // namespace

class TestXmlRpcTokens : public QObject
{
    Q_OBJECT

private slots:
    void idleTime_data()
    {
        QTest::addColumn<QList<qint64>>("uses");   // when the token is used; issued at 0
        QTest::addColumn<QList<bool>>("alive");    // whether each use finds it

        QTest::newRow("used within the idle time") << QList<qint64>{kIdle - 1} << QList<bool>{true};
        QTest::newRow("unused for the idle time") << QList<qint64>{kIdle} << QList<bool>{false};
        QTest::newRow("each use starts it again")
            << QList<qint64>{kIdle - 1, 2 * kIdle - 2, 3 * kIdle - 3, 4 * kIdle - 4} << QList<bool>{true, true, true, true};
        QTest::newRow("an ended token stays ended") << QList<qint64>{kIdle, kIdle + 1} << QList<bool>{false, false};
    }

    void idleTime()
    {
        QFETCH(QList<qint64>, uses);
        XmlRpcTokens tokens(kIdle);
        const QString token = tokens.issue(7, QStringLiteral("stamp"), 0);
        QList<bool> found;
        for (qint64 at : uses) {
            const XmlRpcTokens::Holder *holder = tokens.use(token, at);
            found << (holder != nullptr);
            if (holder)
                QCOMPARE((QPair<int, QString>(holder->userId, holder->passwordStamp)), (QPair<int, QString>(7, "stamp")));
        }
        QTEST(found, "alive");
    }

    void tokensAndTheirBound()
    {
        XmlRpcTokens tokens(kIdle);
        const QString first = tokens.issue(1, QStringLiteral("a"), 0);
        const QString second = tokens.issue(1, QStringLiteral("a"), 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(first).hasMatch(), qPrintable(first));
        QVERIFY(first != second);   // one user, one password, two logins: two tokens
        tokens.revoke(first);
        QVERIFY(!tokens.use(first, 1));
        QVERIFY(tokens.use(second, 1));
        tokens.revoke(second);

        // A setting changed while tokens live applies to them.
        const QString lasting = tokens.issue(2, QString(), 0);
        tokens.setIdleMs(10 * kIdle);
        QVERIFY(tokens.use(lasting, 5 * kIdle));
        tokens.revoke(lasting);

        // Full: the idle ones go, then the longest unused; recently used ones stay.
        tokens.setIdleMs(kIdle);
        const QString old = tokens.issue(3, QString(), 0);
        const QStringList idle{tokens.issue(3, QString(), 1), tokens.issue(3, QString(), 2)};
        QStringList live;
        for (int i = 3; i < XmlRpcTokens::kMaxTokens; ++i)
            live << tokens.issue(4, QString(), kIdle / 2 + i % 100);
        QVERIFY(tokens.use(old, kIdle / 2 + 100));
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens);
        tokens.issue(5, QString(), kIdle + 2);   // both idle ones make room
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens - 1);
        QVERIFY(!tokens.use(idle[0], kIdle + 2) && !tokens.use(idle[1], kIdle + 2));
        tokens.issue(5, QString(), kIdle + 2);
        tokens.issue(5, QString(), kIdle + 3);   // nothing idle: the longest unused goes, one of the first live
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens);
        int gone = 0;
        for (const QString &token : qAsConst(live))
            gone += tokens.use(token, kIdle + 4) ? 0 : 1;
        QCOMPARE(gone, 1);
        QVERIFY(tokens.use(old, kIdle + 4));
    }
};

QTEST_APPLESS_MAIN(TestXmlRpcTokens)
#include "tst_xmlrpctokens.moc"
