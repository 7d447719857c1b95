// The check script engine over a small catalogue of its own (model "TST1").

#include "analizer.h"
#include "metadatacatalogue.h"
#include "outcome.h"
#include "tempdatabasehome.h"
#include "zeltoenvironment.h"

#include <QtTest>

namespace {

const QString kModel = "TST1";
const QStringList kArchives = {"current_data", "month_data", "day_data", "hour_data"};

const char *const kFixtures[][2] = {
    {"channels.xml", "<channels/>"},
    {"params.xml", R"(<params><commonParams><param code="NS" name="Нештатные ситуации" type="Flags" isError="true"/>
        <param code="ERR" name="Код ошибки" type="Value" isError="true"/></commonParams><systemParams maxSystemCount="2">
        <param code="t1" name="Температура t1" type="t"/><param code="t2" name="Температура t2" type="t"/>
      </systemParams></params>)"},
    {"drivers.xml", R"(<drivers><driver code="TSTD" name="Тестовый драйвер"><devices>
        <device code="TST1" name="Тестовый прибор" file="tst1.xml"/></devices></driver></drivers>)"},
    {"tst1.xml", R"(<device numberDigits="6"><systems><system code="1" name="Отопление"/></systems>
        <commonParams><params><param code="NS" name="НС тестового прибора"/></params></commonParams>
        <systemParams><params><param code="t1" name="Температура подачи"/></params></systemParams>
        <paramEnums><paramEnum><params><param>NS</param></params><items><item code="0">Нет питания</item>
          <item code="1">Обрыв датчика t1</item><item code="3">Расход вне диапазона</item></items></paramEnum></paramEnums>
      </device>)"},
};

QDateTime day(int n) { return QDateTime(QDate(2024, 1, n), QTime(0, 0)); }

// One row per value list, dated day 1, 2, ...
ZeltoTable table(const QStringList &columns, const QList<QVariantList> &rows)
{
    ZeltoTable result(QStringList{"date"} + columns);
    int n = 0;
    for (const QVariantList &row : rows)
        result.appendRow(QVariantList{day(++n)} + row);
    return result;
}

ZeltoTable temperatures(const QList<double> &values)
{
    QList<QVariantList> rows;
    for (double value : values)
        rows.append(QVariantList{value, 50.0});
    return table({"S1_t1", "S1_t2"}, rows);
}

QStringList messages(const Analizer &a) { return QVariant(a.findings().columnValues("message")).toStringList(); }

// The messages of one run of script over table as archive, or {"failed"}.
QStringList run(const QString &script, ZeltoTable table, const QString &archive)
{
    Analizer analizer(kModel, openDatabase());   // none in most cases: the default budgets
    analizer.setCheckParams({{"script", script}});
    return analizer.check(table, archive).ok() ? messages(analizer) : QStringList{"failed"};
}

QString title(const char *code) { return MetadataCatalogue::instance().paramTitle(code, kModel); }

} // namespace

class TestAnalizer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The catalogue is read once per process: the fixtures come first.
        QVERIFY(m_home.isValid() && QDir(m_home.path()).mkpath("metadata"));
        for (const auto &fixture : kFixtures) {
            QFile file(m_home.filePath(QString("metadata/") + fixture[0]));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fixture[1]) > 0);
        }
        ZeltoEnvironment::set("ORVEX_HOME", m_home.path());
        QVERIFY(MetadataCatalogue::instance().isErrorParam("NS") && !title("S1_t1").isEmpty() && !title("NS").isEmpty());
    }

    // The script made from check parameters, and the findings of runs: accumulated, rows marked, archives in turn.
    void scriptsAndFindings()
    {
        Analizer errorsOnly(kModel, openDatabase());
        errorsOnly.setCheckParams({{"checkErrors", true}});
        QCOMPARE(errorsOnly.script(), QString("\ncheckErrors(Enum.All)"));

        const QVariantList criteria{QVariantList{"checkLess", "Enum.Current", "\"S1_t1\"", 0.2},
                                    QStringList{"checkNotIn", "Enum.All", "'S1_t2'", "40", "95"},
                                    QStringList{"checkMore", "Enum.All", "'S1_t1'"}, "not a list"};
        Analizer analizer(kModel, openDatabase());
        analizer.setCheckParams({{"script", "  error('из скрипта');\n "}, {"criteria", criteria}, {"checkErrors", true}});
        QCOMPARE(analizer.script(), QString("error('из скрипта');\ncheckLess(Enum.Current, \"S1_t1\", 0.2)"
                                            "\ncheckNotIn(Enum.All, 'S1_t2', 40, 95)\ncheckErrors(Enum.All)"));

        ZeltoTable current = table({"S1_t1", "S1_t2", "NS"}, {{0.1, 30.0, 1}});
        QVERIFY(analizer.check(current, "current_data").ok());
        QCOMPARE(messages(analizer), (QStringList{"из скрипта", title("S1_t1") + " < 0.2",
                                                  title("S1_t2") + " вне диапазона [40, 95]", "НС прибора"}));

        // Empty parameters keep the program; a checker without one does nothing.
        analizer.setCheckParams(QVariantMap());
        QVERIFY(analizer.check(current, "current_data").ok() && analizer.findingCount() == 8);
        Analizer idle(kModel, openDatabase());
        QVERIFY(idle.check(current, "current_data").ok() && idle.findingCount() == 0);

        // (The findings of a checker over several archives, their dates and the rows they mark: tst_archivestore
        // findingsOfASave and checkParameters.)

        // All tables: the four checked archives in name order; a failure stops the rest.
        for (const bool failing : {false, true}) {
            ZeltoTableMap tables;
            for (const QString &name : kArchives + QStringList{"month_totals", "info"})
                tables.insert(name, temperatures({1}));
            Analizer all(kModel, openDatabase());
            const char *script = failing ? "error(ARCHIVE); if (ARCHIVE === 'day_data') broken();" : "error(ARCHIVE)";
            all.setCheckParams({{"script", script}});
            QCOMPARE(all.checkAll(tables).ok(), !failing);
            QCOMPARE(messages(all),
                     QStringList({"current_data", "day_data", "hour_data", "month_data"}).mid(0, failing ? 2 : 4));
            QCOMPARE(tables.value("hour_data").value(0, "CHECK_ERR"), failing ? QVariant() : QVariant(true));
            QVERIFY(!tables.value("month_totals").containsColumn("CHECK_ERR"));
        }
    }

    void scripts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<ZeltoTable>("rows");
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("messages");   // {"failed"}: the run fails
        const auto row = [](const char *name, const QString &script, const ZeltoTable &rows, const QString &archive,
                            const QStringList &messages) {
            QTest::newRow(name) << script << rows << archive << messages;
        };
        const QString t1 = title("S1_t1"), t2 = title("S1_t2"), ns = title("NS") + ": ";
        const QString day = "day_data", hour = "hour_data", current = "current_data";
        const QString dayMore = "checkMore(Enum.Day, 'S1_t1', 90)", outside = t1 + " вне диапазона [10, 20]";
        const ZeltoTable one = temperatures({1}), hot = temperatures({95});
        row("more", dayMore, temperatures({85, 95}), day, {t1 + " > 90"});
        row("another archive's data argument", dayMore, hot, hour, {});
        row("six significant digits", "checkLess(Enum.All, 'S1_t1', 0.25); checkLess(Enum.All, 'S1_t1', 1234567)",
            temperatures({0.1}), "month_data", {t1 + " < 0.25", t1 + " < 1.23457e+06"});
        row("the value itself passes", "checkLess(Enum.All, 'S1_t1', 85); checkMore(Enum.All, 'S1_t1', 85)",
            temperatures({85}), day, {});
        row("another column", "checkMore(Enum.All, 'S1_t2', 'S1_t1'); checkLess(Enum.All, 'S1_t1', 'S1_t2')",
            temperatures({40}), day, {t2 + " > " + t1, t1 + " < " + t2});
        row("not in", "checkNotIn(Enum.Hour, 'S1_t1', 10, 20)", temperatures({9.5, 10, 15, 20, 20.1}), hour,
            {outside, outside});
        row("unknown codes, missing columns and empty cells",
            "checkMore(Enum.All, 'X1', 1); checkMore(Enum.All, 'S2_t1', 1); checkLess(Enum.All, 'S1_t1', 1);"
            "checkMore(Enum.All, 'X1', 'S1_t1')",
            table({"S1_t1", "X1"}, {{QVariant(), 500.0}}), day, {});
        for (const QString &archive : kArchives) {
            const bool named = archive == "current_data" || archive == "month_data";
            QTest::addRow("data letters, %s", qPrintable(archive))
                << "check('CM', false, 'CM'); check('CM', true, 'ok'); check('cm', false, 'lower')" << one << archive
                << (named ? QStringList{"CM"} : QStringList());
            QTest::addRow("no letters, Enum.All, %s", qPrintable(archive))
                << "check('', false, 'всегда'); checkExpr(Enum.All, true, 'везде'); checkExpr(Enum.All, false, 'нет')"
                << one << archive << QStringList{"всегда", "везде"};
        }
        row("blank errors", "error('   '); error(''); error('  перегрев  ')", one, day, {"перегрев"});
        row("value() for the script's own logic",
            "var t = value('S1_t1'); if (t - value('S1_t2') > 30) error('разность ' + t);"
            "if (value('nope') !== undefined) error('absent is defined');"
            "if (!(value('date') instanceof Date)) error('date is not a Date')",
            temperatures({70, 90}), day, {"разность 90"});

        // NS = 11: bits 0, 1 and 3 of the model's texts; bit 5 has no text.
        const ZeltoTable flags = table({"NS", "ERR"}, {{11, 1}});
        row("mask and own text", "checkError(Enum.All, 'NS', 2); checkError(Enum.All, 'NS', 0xFFFF, 'Авария прибора')",
            flags, current, {ns + "Обрыв датчика t1", "Авария прибора"});
        row("bit without a text", "checkError(Enum.All, 'NS')", table({"NS"}, {{33}}), current, {ns + "Нет питания, бит 5"});
        // Bits outside the mask, a non-flags error parameter, an unknown code, another archive.
        row("no error bits", "checkError(Enum.All, 'NS', 4); checkError(Enum.All, 'ERR'); checkError(Enum.All, 'S1_t1');"
            "checkError(Enum.Day, 'NS')", flags, current, {});
        row("clear or empty flags", "checkError(Enum.All, 'NS')", table({"NS"}, {{0}, {QVariant()}}), current, {});
        const ZeltoTable faults = table({"NS", "ERR"}, {{0, 0}, {4, 0}, {4, 1}, {QVariant(), 1}});
        row("checkErrors once per row", "checkErrors()", faults, hour, {"НС прибора", "НС прибора", "НС прибора"});
        row("checkErrors with a text", "checkErrors(Enum.Hour, 'Ошибка')", faults, hour, {"Ошибка", "Ошибка", "Ошибка"});
        row("checkErrors of another archive", "checkErrors(Enum.Day)", faults, hour, {});

        // Each unexpected value becomes a finding; the last proves the script ran to its end.
        row("global names",
            "if (ARCHIVE !== 'day_data') error('ARCHIVE ' + ARCHIVE);"
            "if (TABLE_NAME !== 'dayData' || DATA !== 'dayData' || data !== 'dayData') error('names');"
            "if (actualData !== Enum.Day || Enum.Day !== 3 || Enum.All !== 0 || Enum.Hour !== 4) error('enum');"
            "actualData = 1; ARCHIVE = 'x'; data = 'changed';"
            "if (actualData !== 3 || ARCHIVE !== 'day_data') error('read-only names changed');"
            "if (delete TABLE_NAME) error('deleted');"
            "if (data !== 'changed') error('data is not writable');"
            "if (typeof deleteLater !== 'undefined' || typeof objectName !== 'undefined') error('QObject members');"
            "error('конец ' + TABLE_NAME)", one, day, {"конец dayData"});
        // Other names count as current data; only "_d" is joined.
        row("other names", "error(actualData + ' ' + DATA)", one, "month_totals", {"1 month_totals"});

        // A caught exception fails nothing. (An uncaught one stops the run: failedRunsStop.)
        row("a caught exception", "try { nothing(); } catch (e) { error('поймано'); }", one, day, {"поймано"});
    }

    void scripts()
    {
        QFETCH(QString, script);
        QFETCH(ZeltoTable, rows);
        QFETCH(QString, archive);
        QTEST(run(script, rows, archive), "messages");
    }

    // An uncaught exception or a time limit stops the run at the row it hit.
    void failedRunsStop()
    {
        TempDatabaseHome home;
        QCOMPARE(outcome(home.open()), "ok");
        Analizer analizer(kModel, openDatabase());
        analizer.setCheckParams({{"script", "error('до'); notDefinedAnywhere(); error('после')"}});
        ZeltoTable days = temperatures({1, 2});
        const ZeltoStatus undefined = analizer.check(days, "day_data");
        QVERIFY2(!undefined.ok() && undefined.message().contains("notDefinedAnywhere"),
                 qPrintable(undefined.message()));
        QCOMPARE(messages(analizer), QStringList{"до"});
        QVERIFY(days.value(1, "CHECK_ERR").isNull());

        QVERIFY(testDatabase().putSetting("scriptRowTimeout", 100).ok()
                && testDatabase().putSetting("scriptTableTimeout", 5000).ok());
        analizer.setCheckParams({{"script", "error('строка'); while (true) {}"}});
        const ZeltoStatus rowLimit = analizer.check(days, "day_data");
        QVERIFY2(!rowLimit.ok() && rowLimit.message().startsWith("Скрипт проверки прерван")
                     && rowLimit.message().contains("100 мс") && analizer.findingCount() == 2,
                 qPrintable(rowLimit.message()));
        // A script cannot catch its own abort.
        Analizer catcher(kModel, openDatabase());
        catcher.setCheckParams({{"script", "try { for (;;) {} } catch (e) { error('caught'); }"}});
        const ZeltoStatus caught = catcher.check(days, "day_data");
        QVERIFY2(!caught.ok() && caught.message().startsWith("Скрипт проверки прерван"), qPrintable(caught.message()));

        // The table limit ends a run of rows that each stay within theirs.
        QVERIFY(testDatabase().putSetting("scriptRowTimeout", 5000).ok()
                && testDatabase().putSetting("scriptTableTimeout", 150).ok());
        Analizer busy(kModel, openDatabase());
        busy.setCheckParams({{"script", "var end = Date.now() + 40; while (Date.now() < end) {}"}});
        ZeltoTable twenty = temperatures(QVector<double>(20, 1.0).toList());
        const ZeltoStatus tableLimit = busy.check(twenty, "day_data");
        QVERIFY2(!tableLimit.ok() && tableLimit.message().contains("150 мс"), qPrintable(tableLimit.message()));

        // The checker stays usable after an abort.
        analizer.setCheckParams({{"script", "error('снова')"}});
        QVERIFY(analizer.check(days, "day_data").ok() && analizer.findingCount() == 4);
    }

    // A row and a table limit between 1 ms and a minute: the settings refuse anything else (and leave other settings
    // alone). (That the budget clamps a value an older server stored is not worth its lines.)
    void timeLimits()
    {
        const QString row = "scriptRowTimeout", table = "scriptTableTimeout";
        const struct { QString name; QVariant value; bool accepted; } settings[] = {
            {table, 60000, true}, {row, 1, true}, {table, 60001, false}, {row, 60001, false},
            {table, qlonglong(4294968296), false},   // wraps to 1000 in 32 bits
            {table, 0, false}, {table, "долго", false}, {"backupCount", 1000000, true}};
        QStringList wrong;
        for (const auto &setting : settings)
            if (Analizer::checkTimeoutSetting(setting.name, setting.value).ok() != setting.accepted)
                wrong << setting.name + '=' + setting.value.toString();
        QCOMPARE(wrong.join(", "), QString());
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestAnalizer)
#include "tst_analizer.moc"
