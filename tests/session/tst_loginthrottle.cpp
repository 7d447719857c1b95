// The login throttle's clock and its two counts: which failures count toward
// a block of a login at an address or of the whole address, what a success
// forgets, how long a block lasts, and that the tables stay bounded.

#include "loginthrottle.h"

#include <QtTest>

namespace {

const QString kGuesser = QStringLiteral("10.0.0.1");
const qint64 w = LoginThrottle::kWindowMs, b = LoginThrottle::kBlockMs;

// Events "address login fail|ok time", in order.
QStringList failures(const QString &login, const QList<qint64> &times, const QString &address = kGuesser)
{
    QStringList events;
    for (qint64 at : times)
        events << QStringLiteral("%1 %2 fail %3").arg(address, login).arg(at);
    return events;
}

QStringList success(const QString &login, qint64 at, const QString &address = kGuesser)
{
    return {QStringLiteral("%1 %2 ok %3").arg(address, login).arg(at)};
}

// One failure for each of count logins "u0", "u1", ... at times from first on.
QStringList manyLogins(int count, qint64 first = 0)
{
    QStringList events;
    for (int i = 0; i < count; ++i)
        events += failures(QStringLiteral("u%1").arg(i), {first + i});
    return events;
}

} // namespace

class TestLoginThrottle : public QObject
{
    Q_OBJECT

private slots:
    void blocks_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("address");   // the next attempt: from where, as whom, when
        QTest::addColumn<QString>("login");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<qint64>("wait");       // how long it must wait
        QTest::addColumn<QString>("starts");    // the blocks the failures started: L (login), A (address)

        const auto row = [](const char *name, const QStringList &events, const QString &address, const char *login,
                            qint64 at, qint64 wait, const char *starts) {
            QTest::newRow(name) << events << address << QString(login) << at << wait << QString(starts);
        };
        const QList<qint64> five{0, 1, 2, 3, 4};
        const QStringList admin = failures("admin", five);
        // (Four allowed, five blocking the login and the address's other logins going on: test_security; the login
        // from another address going on: test_xmlrpc test_rights_tokens_and_faults.)
        row("to the end of the block", admin, kGuesser, "admin", 4 + b - 1, 1, "L");
        const QStringList four = failures("admin", {0, 1, 2, 3});
        row("another login's success resets nothing", four + success("bob", 4) + failures("admin", {5}), kGuesser,
            "admin", 6, 5 + b - 6, "L");
        row("its own success starts the count again", four + success("admin", 4) + failures("admin", {5, 6, 7, 8}),
            kGuesser, "admin", 9, 0, "");
        row("spread over more than the window", failures("admin", {0, w / 4, w / 2, 3 * w / 4, w}), kGuesser, "admin",
            w + 1, 0, "");
        row("failures while blocked do not count or extend", failures("admin", {0, 1, 2, 3, 4, 10, 20, 30, 40, 50}),
            kGuesser, "admin", 4 + b, 0, "L");
        row("a new block after the old one", failures("admin", {0, 1, 2, 3, 4, b + 5, b + 6, b + 7, b + 8, b + 9}),
            kGuesser, "admin", b + 10, 9 + b + b - (b + 10), "LL");
        row("nineteen over many logins leave the address open", manyLogins(19), kGuesser, "admin", 19, 0, "");
        row("twenty block every login of the address", manyLogins(20), kGuesser, "admin", 20, 19 + b - 20, "A");
        row("successes do not lift the address's count", manyLogins(10) + success("u0", 10) + manyLogins(10, 11),
            kGuesser, "u0", 21, 20 + b - 21, "A");
        row("but not other addresses", manyLogins(20), "10.0.0.2", "admin", 20, 0, "A");
        row("logins blocked one by one add up for the address",
            failures("a", five) + failures("b", five) + failures("c", five) + failures("d", {5, 6, 7, 8, 9}), kGuesser,
            "e", 10, 9 + b - 10, "LLLA");
        row("an IPv4-mapped address is its IPv4 one", failures("admin", five, "::ffff:10.0.0.1"), kGuesser, "admin", 5,
            4 + b - 5, "L");
        row("IPv6 in any spelling", failures("admin", five, "2001:db8:0:0::1"), "2001:DB8::1", "admin", 5, 4 + b - 5,
            "L");
    }

    void blocks()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, address);
        QFETCH(QString, login);
        QFETCH(qint64, at);
        LoginThrottle throttle;
        QString started;
        for (const QString &event : events) {
            const QStringList part = event.split(QLatin1Char(' '));
            if (part[2] == QLatin1String("ok")) {
                throttle.recordSuccess(part[0], part[1]);
                continue;
            }
            const LoginThrottle::Block block = throttle.recordFailure(part[0], part[1], part[3].toLongLong());
            started += block == LoginThrottle::LoginBlocked ? "L" : block == LoginThrottle::AddressBlocked ? "A" : "";
        }
        QTEST(started, "starts");
        QTEST(throttle.waitMs(address, login, at), "wait");
    }

    void tablesStayBounded()
    {
        LoginThrottle throttle;
        // Thousands of addresses that failed once are forgotten once stale.
        for (int i = 0; i < 3000; ++i)
            throttle.recordFailure(QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256), QStringLiteral("u"), 100);
        throttle.recordFailure(kGuesser, QStringLiteral("admin"), 100 + b + w);
        QVERIFY2(throttle.entryCount() < 10, qPrintable(QString::number(throttle.entryCount())));

        // Live ones too, beyond the bound; a block outlives failures that blocked nothing.
        for (qint64 at = 0; at < 5; ++at)
            throttle.recordFailure(kGuesser, QStringLiteral("admin"), 200000 + at);
        const int flood = 3 * LoginThrottle::kMaxEntries;
        for (int i = 0; i < flood; ++i)
            throttle.recordFailure(QStringLiteral("10.2.%1.%2").arg(i / 256).arg(i % 256), QStringLiteral("n%1").arg(i),
                                   200005 + i / 1000);
        QVERIFY2(throttle.entryCount() <= 2 * LoginThrottle::kMaxEntries, qPrintable(QString::number(throttle.entryCount())));
        QVERIFY(throttle.waitMs(kGuesser, QStringLiteral("admin"), 200005 + flood / 1000) > 0);
    }
};

QTEST_APPLESS_MAIN(TestLoginThrottle)
#include "tst_loginthrottle.moc"
