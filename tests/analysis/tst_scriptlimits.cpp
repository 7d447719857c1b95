#include "analizer.h"
#include "scripttimebudget.h"

#include <QScriptEngine>
#include <QtTest>

class TestScriptLimits : public QObject
{
    Q_OBJECT

private slots:
    void budget_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("table");
        QTest::addColumn<int>("rowLimit");
        QTest::addColumn<int>("tableLimit");

        QTest::newRow("as asked") << 1000 << 10000 << 1000 << 10000;
        QTest::newRow("at least 1 ms") << 0 << -5 << 1 << 1;
        QTest::newRow("a minute at most") << 2000000000 << 60001 << 60000 << 60000;
    }

    void budget()
    {
        QFETCH(int, row);
        QFETCH(int, table);
        QScriptEngine engine;
        const ScriptTimeBudget budget(&engine, row, table);
        QTEST(budget.rowLimit(), "rowLimit");
        QTEST(budget.tableLimit(), "tableLimit");
    }

    void setting_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("accepted");

        const QString table = "scriptTableTimeout";
        QTest::newRow("a minute") << table << QVariant(60000) << true;
        QTest::newRow("one ms of a row") << "scriptRowTimeout" << QVariant(1) << true;
        QTest::newRow("over a minute") << table << QVariant(60001) << false;
        QTest::newRow("over a minute per row") << "scriptRowTimeout" << QVariant(60001) << false;
        QTest::newRow("wraps to 1000 in 32 bits") << table << QVariant(qlonglong(4294968296)) << false;
        QTest::newRow("none") << table << QVariant(0) << false;
        QTest::newRow("text") << table << QVariant("долго") << false;
        QTest::newRow("other settings are not ours") << "backupCount" << QVariant(1000000) << true;
    }

    void setting()
    {
        QFETCH(QString, name);
        QFETCH(QVariant, value);
        QTEST(Analizer::checkTimeoutSetting(name, value), "accepted");
    }
};

QTEST_MAIN(TestScriptLimits)
#include "tst_scriptlimits.moc"
