// The login throttle's clock: which failures count toward a block, how long
// a block lasts, and that addresses are kept apart.

#include "loginthrottle.h"

#include <QtTest>

class TestLoginThrottle : public QObject
{
    Q_OBJECT

private slots:
    void blocks_data()
    {
        QTest::addColumn<QList<qint64>>("failures");   // times of the failed logins
        QTest::addColumn<qint64>("asked");             // when the next attempt comes
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<int>("blockStarts");          // failures that started a block

        const qint64 w = LoginThrottle::kWindowMs, b = LoginThrottle::kBlockMs;
        QTest::newRow("four are allowed") << QList<qint64>{0, 1, 2, 3} << qint64(4) << false << 0;
        QTest::newRow("five block") << QList<qint64>{0, 1, 2, 3, 4} << qint64(5) << true << 1;
        QTest::newRow("to the end of the block") << QList<qint64>{0, 1, 2, 3, 4} << 4 + b - 1 << true << 1;
        QTest::newRow("not after it") << QList<qint64>{0, 1, 2, 3, 4} << 4 + b << false << 1;
        QTest::newRow("spread over more than the window")
            << QList<qint64>{0, w / 4, w / 2, 3 * w / 4, w} << w + 1 << false << 0;
        QTest::newRow("failures while blocked do not count or extend")
            << QList<qint64>{0, 1, 2, 3, 4, 10, 20, 30, 40, 50} << 4 + b << false << 1;
        QTest::newRow("a new block after the old one")
            << QList<qint64>{0, 1, 2, 3, 4, b + 5, b + 6, b + 7, b + 8, b + 9} << b + 10 << true << 2;
    }

    void blocks()
    {
        QFETCH(QList<qint64>, failures);
        QFETCH(qint64, asked);
        QFETCH(bool, blocked);
        QFETCH(int, blockStarts);

        LoginThrottle throttle;
        int starts = 0;
        for (qint64 at : failures)
            starts += throttle.recordFailure(QStringLiteral("10.0.0.1"), at) ? 1 : 0;
        QCOMPARE(starts, blockStarts);
        QCOMPARE(throttle.isBlocked(QStringLiteral("10.0.0.1"), asked), blocked);
    }

    void addressesAndSuccess()
    {
        LoginThrottle throttle;
        const QString guesser = QStringLiteral("10.0.0.1");
        for (int i = 0; i < 4; ++i)
            throttle.recordFailure(guesser, i);
        throttle.recordSuccess(guesser);           // the count starts again
        for (int i = 0; i < 4; ++i)
            QVERIFY(!throttle.recordFailure(guesser, 10 + i));
        QVERIFY(throttle.recordFailure(guesser, 20));
        QVERIFY(!throttle.isBlocked(QStringLiteral("10.0.0.2"), 21));

        // Thousands of addresses that failed once are forgotten once stale.
        for (int i = 0; i < 3000; ++i)
            throttle.recordFailure(QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256), 100);
        throttle.recordFailure(QStringLiteral("10.2.0.1"), 100 + LoginThrottle::kBlockMs + LoginThrottle::kWindowMs);
        QVERIFY(throttle.addressCount() < 10);
    }
};

QTEST_APPLESS_MAIN(TestLoginThrottle)
#include "tst_loginthrottle.moc"
