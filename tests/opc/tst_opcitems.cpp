#include "metadatacatalogue.h"
#include "opcendpointaddress.h"
#include "opcitemnames.h"
#include "opcvalue.h"
#include "parameterdescriber.h"
#include "transliteration.h"
#include "unitcodes.h"

#include <QtTest>

class TestOpcItems : public QObject
{
    Q_OBJECT

private slots:
    void itemNames_data()
    {
        QTest::addColumn<bool>("russian");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("description");

        const auto row = [](const char *name, bool russian, const QString &format, const char *model,
                            const char *column, const QString &expected, const QString &description) {
            QTest::newRow(name) << russian << format << QString(model) << QString(column) << expected << description;
        };
        const QString standard = OpcItemNames::defaultNodeFormat();
        const QString t1 = "Температура в подающем трубопроводе", tm = "Время работы вычислителя";
        row("latin system parameter", false, standard, "QRV2", "S1_t1", "QRV2_000123.S1.t1",
            "Temperatura v podaiushchem truboprovode");
        row("latin common parameter, the model's title", false, standard, "QRV2", "Tm", "QRV2_000123.Tm",
            "Vremia raboty vychislitelia");
        row("latin unknown model pads to 8", false, standard, "XYZ", "S3_G1", "XYZ_00000123.S3.G1",
            "Raskhod teplonositelia za interval v podaiushchem truboprovode");
        row("russian model's system", true, standard, "QRV2", "S1_t1", "ТВ-2 №000123\\Система отопления\\" + t1, t1);
        row("russian system the model lacks", true, standard, "QRV2", "S2_t1",
            "ТВ-2 №000123\\Неизвестные параметры\\" + t1, t1);
        row("russian model's own title", true, standard, "QRV2", "Tm", "ТВ-2 №000123\\" + tm, tm);
        row("russian model without systems", true, standard, "XYZ", "S2_t1", "Модель №00000123\\Система 2\\" + t1, t1);
        row("russian group and name, slash made a branch", true, "%group_name/%node_name", "QRV2", "ta",
            "Котельная\\Узел 1\\Температура наружного воздуха", "Температура наружного воздуха");
    }

    void itemNames()
    {
        QFETCH(bool, russian);
        QFETCH(QString, format);
        QFETCH(QString, model);
        QFETCH(QString, column);
        const MetadataCatalogue catalogue(QStringLiteral(ORVEX_METADATA_DIR));
        const OpcItemNames names(russian, format, catalogue);
        const QVariantMap node{{"name", "Узел 1"}, {"model_code", model}, {"number", 123},
                               {"model_name", model == "QRV2" ? "ТВ-2" : "Модель"}};
        QCOMPARE(names.needsGroupName(), format.contains(QStringLiteral("%group_name")) && russian);
        QTEST(names.itemName(names.nodeBranch(node, "Котельная"), column, model), "expected");
        QTEST(names.description(column, model), "description");
    }

    void latinLetters()
    {
        const QList<std::pair<QString, QString>> cases{
            {"Объём щёлочи, ЖЭК №5", "Obieem shchelochi, ZHEK N5"},
            {"Щит ВЩ и Юг: Цех-Х", "Shchit VSHCH i Iug: Tsekh-Kh"},
            {"Разность t1 - t2 (°C)", "Raznost t1 - t2 (°C)"},
            {"Подъезд Її Єє Ґ", "Podieezd Ii Ieie G"},
            {"", ""}};
        for (const auto &[russian, latin] : cases)
            QCOMPARE(Transliteration::toLatin(russian), latin);
    }

    void unitCodesOfTheDescribedUnits()
    {
        // Every unit describeParams gives, for any parameter and unit selector, with its UN/CEFACT common
        // code (none where Recommendation 20 has no code): a unit text changed there shows here.
        const MetadataCatalogue catalogue(QStringLiteral(ORVEX_METADATA_DIR));
        const ParameterDescriber describer(catalogue);
        QList<QVariantMap> rows{QVariantMap()};
        for (int index = 0; index < 3; ++index)
            rows << QVariantMap{{"Qdim", index}} << QVariantMap{{"S1_Qdim", index}} << QVariantMap{{"Pdim", index}};
        QSet<QString> found;
        for (const QString &code : catalogue.paramCodes()) {
            for (const QVariantMap &row : qAsConst(rows)) {
                const QString unit = describer.unitOf(code, row);
                if (!unit.isEmpty())
                    found.insert(unit + " " + UnitCodes::commonCode(unit));
            }
        }
        QStringList units = found.values();
        units.sort();
        QStringList expected{"°C CEL", "bar BAR", "МПа MPA", "кгс/см2 ", "м3 MTQ", "м3/ч MQH", "т TNE",
                             "т/ч E18", "Гкал ", "Гкал/ч ", "ГДж GV", "ГДж/ч ", "МВт·ч MWH", "МВт MAW",
                             "кВт·ч KWH", "кВт KWT", "ч HUR", "чч:мм "};
        expected.sort();
        QCOMPARE(units, expected);
    }

    void types_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("type");

        QTest::newRow("bool") << QVariant(true) << "Boolean";
        QTest::newRow("int") << QVariant(-5) << "Int32";
        QTest::newRow("stored whole number") << QVariant(qlonglong(70000)) << "Int32";
        QTest::newRow("wider than 32 bits") << QVariant(qlonglong(1) << 40) << "";
        QTest::newRow("unsigned") << QVariant(4000000000u) << "UInt32";
        QTest::newRow("wide unsigned") << QVariant(qulonglong(1) << 33) << "";
        QTest::newRow("double") << QVariant(71.5) << "Double";
        QTest::newRow("text") << QVariant("Норма") << "String";
        QTest::newRow("date-time") << QVariant(QDateTime(QDate(2024, 5, 2), QTime(1, 0))) << "DateTime";
        QTest::newRow("null int") << QVariant(QVariant::Int) << "";
        QTest::newRow("list") << QVariant(QVariantList{1, 2}) << "";
    }

    void types()
    {
        QFETCH(QVariant, value);
        QTEST(OpcValue::typeName(OpcValue::typeOf(value)), "type");
    }

    void publishedValues()
    {
        // Good values as they are, date-times in UTC, a whole number where a double was still a number;
        // values that do not fit their item are bad, and zero.
        const QDateTime utc(QDate(2024, 5, 2), QTime(3, 4, 5), Qt::UTC);
        const int good = OpcValue::kGood, bad = OpcValue::kBad;
        const QList<std::tuple<QVariant, OpcValue::Type, QJsonValue, int>> cases{
            {71.5, OpcValue::Double, 71.5, good}, {qlonglong(-3), OpcValue::Int32, -3, good},
            {false, OpcValue::Boolean, false, good}, {7, OpcValue::Double, 7.0, good},
            {utc.toLocalTime(), OpcValue::DateTime, "2024-05-02T03:04:05.000Z", good}, {"x", OpcValue::Double, 0, bad},
            {qQNaN(), OpcValue::Double, 0, bad}, {-1, OpcValue::UInt32, 0, bad}, {qlonglong(3000000000LL), OpcValue::Int32, 0, bad},
            {QVariant(), OpcValue::String, QString(), bad}, {1, OpcValue::Boolean, false, bad},
            {QVariant(), OpcValue::DateTime, QJsonValue(), bad}};
        for (const auto &[value, type, wire, quality] : cases)
            QCOMPARE(OpcValue::published(value, type), qMakePair(wire, quality));
    }

    void endpointAddress()
    {
        // Listening address, "opcHostName", and what comes of them: the address listened on, the name in the
        // URLs, whether the setting was passed over.
        const QHostAddress any(QHostAddress::Any), loopback(QHostAddress::LocalHost);
        const QList<std::tuple<QHostAddress, QVariant, QString, QString, bool>> cases{
            {any, QVariant(), "", "scada1", false},
            {loopback, QVariant(), "127.0.0.1", "127.0.0.1", false},
            {QHostAddress("::1"), QVariant(), "::1", "[::1]", false},
            {QHostAddress("0.0.0.0"), QVariant(), "0.0.0.0", "scada1", false},
            {loopback, "scada.example.net", "127.0.0.1", "scada.example.net", false},
            {any, " 10.0.0.5 ", "", "10.0.0.5", false},
            {any, "FE80::1", "", "[fe80::1]", false},
            {any, "pc_01", "", "pc_01", false},
            {any, "", "", "scada1", false},
            {loopback, "bad host/name", "127.0.0.1", "127.0.0.1", true},
            {any, QString(64, 'a') + ".net", "", "scada1", true},
            {any, QString("a.").repeated(127) + "a", "", "scada1", true},   // 255 characters: 253 at most
            {any, "-lead.net", "", "scada1", true},
            {any, "a..net", "", "scada1", true},
            {any, "::zz", "", "scada1", true},
            {any, QVariantList{"scada"}, "", "scada1", true},
            {any, 5, "", "scada1", true}};
        for (const auto &[listen, setting, host, hostName, passedOver] : cases) {
            const OpcEndpointAddress endpoint(listen, setting, "scada1");
            QCOMPARE(endpoint.host(), host);
            QCOMPARE(endpoint.hostName(), hostName);
            QVERIFY2(endpoint.problem().isEmpty() != passedOver,
                     qPrintable(setting.toString() + ": " + endpoint.problem()));
        }
    }
};

QTEST_GUILESS_MAIN(TestOpcItems)
#include "tst_opcitems.moc"
