#include "zelto.h"
#include "zeltocommand.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"
#include "zeltotasktoken.h"

#include <QtTest>

namespace {

// A command only to be registered and found.
struct IdleCommand : ZeltoCommand
{
    IdleCommand(const QString &name, int count) : ZeltoCommand(name, count) {}
    ZeltoResult<QVariant> call(const QVariantList &) override { return QVariant(); }
};

} // namespace

class ZeltoSystemTest : public QObject
{
    Q_OBJECT

private slots:
    void propertiesAndNotifications()
    {
        ZeltoSystem *system = ZeltoSystem::instance();
        QSignalSpy changes(system, &ZeltoSystem::propertyChanged);
        system->setProperty("backupInterval", 12);
        system->setProperty("quiet", true, false);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.at(0).at(0).toString(), QStringLiteral("backupInterval"));
        QCOMPARE(system->property("backupInterval"), QVariant(12));
        QCOMPARE(system->property("quiet"), QVariant(true));

        // Notifications raised on pool threads reach main-thread receivers in order.
        QList<int> received;
        QObject receiver;
        connect(system, &ZeltoSystem::notification, &receiver, [&](const QString &name, const QVariant &value) {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            if (name == QLatin1String("nodeSaved"))
                received.append(value.toInt());
        }, Qt::QueuedConnection);
        const std::unique_ptr<QThread> worker(QThread::create([system]() {
            for (int i = 0; i < 100; ++i)
                system->notify(QStringLiteral("nodeSaved"), i);
        }));
        worker->start();
        QVERIFY(worker->wait(10000));
        QTRY_COMPARE(received.size(), 100);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(received.at(i), i);
    }

    void taskTokenStates()
    {
        ZeltoTaskToken token;
        QVERIFY(!token.isCanceled() && !token.isFailed());
        token.cancel();
        QVERIFY(token.isCanceled() && !token.isFailed());   // cancelled, not failed
        token.clear(true);                                  // a retry keeps an earlier cancel
        QVERIFY(token.isCanceled());
        token.clear();
        QVERIFY(!token.isCanceled());
        token.setError(QStringLiteral("Данные не считаны"));
        QVERIFY(token.isFailed() && !token.isCanceled());   // failing does not cancel
        token.setProgress(140);
        QCOMPARE(token.progress(), 100);
        token.setProgress(-3);
        QCOMPARE(token.progress(), 0);
        token.setState(QStringLiteral("Чтение архива"));
        token.clear();
        QVERIFY(!token.isFailed() && token.errorString().isEmpty() && token.state().isEmpty());
    }

    void commandRegistry()
    {
        const int before = ZeltoCommand::all().size();
        {
            IdleCommand first(QStringLiteral("testFirst"), 0), second(QStringLiteral("testSecond"), -1);
            QCOMPARE(ZeltoCommand::all().size(), before + 2);
            QCOMPARE(ZeltoCommand::all().at(before), &first);   // registration order
            QCOMPARE(ZeltoCommand::find(QStringLiteral("testSecond")), &second);
            QVERIFY(!ZeltoCommand::find(QStringLiteral("testsecond"))); // names are case-sensitive
        }
        QVERIFY(!ZeltoCommand::find(QStringLiteral("testFirst")));
        QCOMPARE(ZeltoCommand::all().size(), before);
    }

    // The variables are read once: a later change of the process environment is not seen, set() is.
    void environmentReadOnce()
    {
        const QString config = ZeltoEnvironment::configFile();
        qputenv("ORVEX_CONFIG", "/elsewhere/orvex-server.ini");
        QCOMPARE(ZeltoEnvironment::configFile(), config);
        ZeltoEnvironment::set("ORVEX_CONFIG", QStringLiteral("/etc/orvex.ini"));
        QCOMPARE(ZeltoEnvironment::configFile(), QStringLiteral("/etc/orvex.ini"));
        ZeltoEnvironment::set("ORVEX_CONFIG", QString());
        QVERIFY(ZeltoEnvironment::configFile().isEmpty());
    }

    void environmentNumbers_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QList<int>>("read");   // tick (fallback 777), pause, log level (fallback 2), splicing
        QTest::newRow("unset") << QString() << QList<int>{777, 0, 2, 1};
        QTest::newRow("decimal") << "250" << QList<int>{250, 250, 250, 1};
        QTest::newRow("hexadecimal") << "0x10" << QList<int>{16, 16, 16, 1};
        QTest::newRow("zero") << "0" << QList<int>{777, 0, 0, 0};
        QTest::newRow("negative") << "-5" << QList<int>{777, 0, -5, 1};
        QTest::newRow("no number") << "soon" << QList<int>{777, 0, 2, 1};
    }

    void environmentNumbers()
    {
        QFETCH(QString, value);
        for (const char *name : {"ORVEX_MONITOR_TICK_MS", "ORVEX_BACKUP_STEP_PAUSE_MS", "ORVEX_LOG_LEVEL",
                                 "ORVEX_ARCHIVE_SPLICE"})
            ZeltoEnvironment::set(name, value);
        QTEST((QList<int>{ZeltoEnvironment::monitorTickMs(777), ZeltoEnvironment::backupStepPauseMs(),
                          ZeltoEnvironment::logLevel(2), int(ZeltoEnvironment::archiveSplicing())}),
              "read");
    }

    // Without ORVEX_HOME the program's own folder is home (every other test sets it).
    void moduleDirDefaultsToProgramFolder()
    {
        ZeltoEnvironment::set("ORVEX_HOME", QString());
        QCOMPARE(Zelto::moduleDir(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(ZeltoSystemTest)
#include "tst_zeltosystem.moc"
