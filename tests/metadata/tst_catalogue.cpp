// The device catalogue: the shipped files, how broken ones are reported; the
// parameter descriptions made from it (types, units from their selectors, titles).

#include "metadatacatalogue.h"
#include "parameterdescriber.h"

#include <QtTest>

namespace {

const QString kShipped = QStringLiteral(ORVEX_METADATA_DIR);

const char kChannels[] = "<channels>"
    "<channel code='COM' name='Порт'><param>port</param><baudRates><value>9600</value></baudRates></channel>"
    "<channel code='TCP' name='Сеть'/>"
    "<channel code='GATE' name='Шлюз' isAdapter='true'><channels><code>TCP</code></channels></channel>" "</channels>";

const char kParams[] = "<params>" "<dbParams><param code='number' name='Заводской номер'/></dbParams>" "<commonParams>"
    "<param code='F' type='Flags' name='Флаги' isError='true'/>" "<param code='L' type='List' name='Список'/>"
    "</commonParams>" "<systemParams><param code='t1' type='t' name='Температура'/></systemParams>" "</params>";

const char kOneSystem[] = "<device numberDigits='5'><systems><system code='1'/></systems></device>";

// A temporary metadata folder with these files (name, text).
struct Folder : QTemporaryDir
{
    explicit Folder(std::initializer_list<QPair<QString, QString>> files)
    {
        for (const auto &file : files) {
            QFile out(filePath(file.first));
            const QByteArray text = file.second.toUtf8();
            if (!isValid() || !out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
                qFatal("cannot write %s", qPrintable(file.first));
        }
    }
};

QString model(const QString &systems, const QString &extra = QString())
{
    return QStringLiteral("<device numberDigits='5'><systems>%1</systems>%2</device>").arg(systems, extra);
}

QVariantMap find(const QVariantMap &description, const QString &code)
{
    for (const QVariant &param : description.value("params").toList())
        if (param.toMap().value("code") == code)
            return param.toMap();
    return QVariantMap();
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    // The shipped files hang together: models, drivers, flag bits, types, channels.
    void shippedCatalogue()
    {
        const MetadataCatalogue catalogue(kShipped);
        QCOMPARE(catalogue.loadError(), QString());
        for (const char *code : {"QRV2", "QRV3", "QRV5", "QRV12", "QRV13", "RNH7", "LWD41", "LWD43"})
            QVERIFY2(catalogue.models().contains(QLatin1String(code)), code);
        for (const QString &model : catalogue.models()) {
            QVERIFY2(catalogue.driverModels(catalogue.modelDriver(model)).contains(model), qPrintable(model));
            QVERIFY2(!catalogue.modelName(model).isEmpty(), qPrintable(model));
            const QList<int> systems = catalogue.modelSystems(model);
            QVERIFY2(!systems.isEmpty(), qPrintable(model));
            for (const QString &code : catalogue.paramCodes()) {
                const int system = MetadataCatalogue::systemIndex(code);
                if (catalogue.isFlags(code) && (system == 0 || systems.contains(system)))
                    QVERIFY2(!catalogue.paramEnum(code, model).isEmpty(), qPrintable(model + QLatin1Char(' ') + code));
            }
        }
        // Driver channel codes are sorted by what channels.xml says they are.
        QCOMPARE(catalogue.driverChannels("QRVK"), QStringList({"COM", "GSM", "PSTN", "TCP"}));
        QVERIFY(catalogue.driverAdapters("QRVK").contains("ETH485"));

        // Lookups by code, by model and for codes that are not there.
        QVERIFY(catalogue.isParam("S4_t1") && !catalogue.isParam("S5_t1") && !catalogue.isParam("t1")
                && !catalogue.isParam("number"));
        QVERIFY(catalogue.isCumulative("S2_M1") && !catalogue.isCumulative("S1_t1"));
        QVERIFY(catalogue.isAveraged("S3_P2") && !catalogue.isAveraged("S1_W"));
        QStringList texts{catalogue.formatNumber(123, "NOSUCH"), catalogue.formatNumber(123, "QRV2"),
                          catalogue.formatNumber(123, "RNH7"), catalogue.paramTitle("S1_t1"),
                          catalogue.paramTitle("S2_t1", "RNH7"), catalogue.paramTitle("number")};
        for (int system : {-1, -2, -4, 0, 2, 3})
            texts << catalogue.systemTitle(system, "QRV3");
        texts << catalogue.systemTitle(3, "NOSUCH");
        QCOMPARE(texts, QStringList({"00000123", "000123", "0000000123", "Температура в подающем трубопроводе",
                                     "Температура теплоносителя на входе", "Заводской номер", "",
                                     "Все параметры", "Без общих параметров", "Общие параметры",
                                     "Горячее водоснабжение", "Неизвестные параметры", "Система 3"}));

        // The system of a column: its number, 0 for common parameters, -1 for fields that are no parameters.
        QList<int> indexes;
        for (const char *column : {"S2_t4", "S9_x", "date", "node_name", "model_name", "number", "Q", "SX_y", "S1_",
                                   "s1_t1", "S12_t", "Qdim", ""})
            indexes << MetadataCatalogue::systemIndex(QLatin1String(column));
        QCOMPARE(indexes, QList<int>({2, 9, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0}));
    }

    // What model files give: systems (a fake one has no title), enum items numbered where they have no code.
    void modelFiles()
    {
        const Folder dir({{"params.xml", kParams},
                          {"drivers.xml", "<drivers><driver code='D'><devices><device code='M' name='Модель' file='m.xml'/>"
                                          "</devices></driver></drivers>"},
                          {"m.xml", model("<system code='1' name='Отопление'/><system code='2' isFake='true' name='Служебная'/>",
                                          "<systemParams><params><param code='t1' name='t подачи'/></params></systemParams>")}});
        const MetadataCatalogue catalogue(dir.path());
        // Without maxSystemCount, four systems; channels.xml is missing: reported, nothing else lost.
        QCOMPARE(catalogue.paramCodes(), QStringList({"F", "L", "S1_t1", "S2_t1", "S3_t1", "S4_t1"}));
        QVERIFY2(catalogue.loadError().contains("channels.xml"), qPrintable(catalogue.loadError()));
        QCOMPARE(catalogue.modelSystems("M"), QList<int>{1});
        QCOMPARE(QStringList({catalogue.systemTitle(1, "M"), catalogue.systemTitle(2, "M"),
                              catalogue.paramTitle("S2_t1", "M"), catalogue.paramTitle("S1_t1", "M"),
                              catalogue.formatNumber(7, "M")}),
                 QStringList({"Отопление", "Неизвестные параметры", "Температура", "t подачи", "00007"}));

        QString flagItems;
        for (int bit = 0; bit < 38; ++bit)
            flagItems += bit == 2 ? "<item code='X'>бит</item>" : "<item>бит</item>";
        const Folder enums({{"channels.xml", kChannels}, {"params.xml", kParams},
                          {"drivers.xml", "<drivers><driver code='D'><devices><device code='M' file='m.xml'/></devices>"
                                          "</driver></drivers>"},
                          {"m.xml", model("<system code='1'/>", "<paramEnums><paramEnum><params><param>F</param></params><items>"
                                              + flagItems + "</items></paramEnum><paramEnum><params><param>L</param>"
                                          "<param>S1_t1</param></params><items><item>а</item><item code='7'>б</item>"
                                          "<item> в </item></items></paramEnum></paramEnums>")}});
        const MetadataCatalogue numbered(enums.path());
        QCOMPARE(numbered.loadError(), QString());
        QStringList codes;
        for (const auto &item : numbered.paramEnum("F", "M"))
            codes.append(item.first);
        QCOMPARE(codes.mid(0, 4) + QStringList({codes.at(10), codes.at(35), codes.at(36)}),
                 QStringList({"0", "1", "X", "3", "A", "Z", "36"}));
        const QList<MetadataCatalogue::EnumItem> list{{"0", "а"}, {"7", "б"}, {"2", "в"}};
        QCOMPARE(numbered.paramEnum("L", "M") + numbered.paramEnum("S1_t1", "M"), list + list);
    }

    // Broken files are reported: a missing model file stops the loading, a file that does not parse is left
    // out, values out of range are parse errors.
    void brokenFilesAreReported()
    {
        const Folder missing({{"channels.xml", kChannels}, {"params.xml", kParams},
                              {"drivers.xml", "<drivers><driver code='A' name='Первый'><channels><code isAdaptee='true'>TCP</code>"
                                              "<code>GATE</code><code>XYZ</code><code>COM</code></channels><devices>"
                                              "<device code='M1' name='Один' file='m1.xml'/><device code='M2' file='absent.xml'/>"
                                              "<device code='M3' file='m3.xml'/></devices></driver><driver code='B'><devices>"
                                              "<device code='M4' file='m3.xml'/></devices></driver></drivers>"},
                              {"m1.xml", kOneSystem}, {"m3.xml", kOneSystem}});
        const MetadataCatalogue stopped(missing.path());

        QCOMPARE(stopped.models() + stopped.drivers(), QStringList({"M1", "A"}));
        QCOMPARE(QStringList({stopped.modelDriver("M1"), stopped.modelName("M1"), stopped.modelDriver("M2"),
                              stopped.modelDriver("M3"), stopped.modelDriver("M4")}),
                 QStringList({"A", "Один", "", "", ""}));
        QCOMPARE(stopped.formatNumber(1, "M1"), QStringLiteral("00001"));
        QCOMPARE(stopped.driverChannels("A") + stopped.driverAdapters("A"), QStringList({"TCP", "COM", "GATE"}));

        // The file's name and its own error text make the load error.
        QFile absent(missing.filePath("absent.xml"));
        QVERIFY(!absent.open(QIODevice::ReadOnly));
        QVERIFY2(stopped.loadError().contains(absent.fileName() + ": " + absent.errorString()),
                 qPrintable(stopped.loadError()));

        // A file that does not parse: where, and what of it is lost.
        const Folder unparsed({{"channels.xml", kChannels},
                               {"params.xml", "<params>\n<commonParams><param code='Q' type='Q'/></commonParams>\n"
                                              "  <systemParams></params>\n"},
                               {"drivers.xml", "<drivers><driver code='D'><channels><code>GATE</code><code>COM</code>"
                                               "</channels></driver></drivers>"}});
        const MetadataCatalogue placed(unparsed.path());
        const QString error = placed.loadError();
        const QString place = QStringLiteral(" (file: %1, line: 3, column: 25)").arg(unparsed.filePath("params.xml"));
        // The parser's own message comes first.
        QVERIFY2(error.endsWith(place) && error.size() > place.size(), qPrintable(error));
        // Nothing of the broken file stays; the other files do.
        QVERIFY(!placed.isParam("Q"));
        QCOMPARE(placed.driverChannels("D") + placed.driverAdapters("D"), QStringList({"COM", "GATE"}));

        // Values out of their range: parse errors of their files.
        const Folder badValues({{"params.xml", "<params><commonParams><param code='X' type='Kelvin'/></commonParams></params>"},
                                {"drivers.xml", "<drivers><driver code='D'><devices>"
                                                "<device code='BAD' name='Плохая' file='bad.xml'/><device code='OK' file='ok.xml'/>"
                                                "</devices></driver></drivers>"},
                                {"bad.xml", "<device numberDigits='9999999999'><systems><system code='1'/></systems></device>"},
                                {"ok.xml", kOneSystem}});
        const MetadataCatalogue bad(badValues.path());
        const QString errors = bad.loadError();
        QVERIFY2(errors.contains("Kelvin") && errors.contains("params.xml"), qPrintable(errors));
        QVERIFY2(errors.contains("numberDigits") && errors.contains("bad.xml"), qPrintable(errors));
        // A model file that does not parse keeps the model as drivers.xml names it.
        QCOMPARE(bad.models() << bad.modelName("BAD"), QStringList({"BAD", "OK", "Плохая"}));
        QCOMPARE(QStringList({bad.formatNumber(1, "BAD"), bad.formatNumber(1, "OK")}),
                 QStringList({"00000001", "00001"}));
        QVERIFY(bad.modelSystems("BAD").isEmpty());
    }

    void describesParameters()
    {
        const struct {
            const char *code, *type, *unit;
            int precision;
        } expected[] = {{"S1_t1", "t", "°C", 2},    {"S1_P1", "P", "кгс/см2", 3}, {"S1_M1", "M", "т", 3},
                        {"S1_G2", "G", "т", 3},      {"S1_V1", "V", "м3", 3},      {"S1_gm1", "g", "т/ч", 3},
                        {"S1_qv1", "v", "м3/ч", 3},  {"Tm", "Tm", "чч:мм", 0},     {"Th", "Th", "ч", 0},
                        {"Ee", "E", "кВт·ч", 3},     {"Pe", "Pe", "кВт", 3},       {"DT", "Value", "", 0},
                        {"S2_NS", "Flags", "", 0},   {"ERR", "Value", "", 0},      {"S1_scheme", "Enum", "", 0},
                        {"DB", "List", "", 0}};
        QStringList columns{"date", "unknown"};
        for (const auto &e : expected)
            columns.append(QLatin1String(e.code));
        const QVariantMap description = describe(columns, QVector<QVariant>(columns.size(), 1).toList());
        QCOMPARE(description.value("params").toList().size(), columns.size() - 2);   // date and unknown are no parameters
        for (const auto &e : expected) {
            const QVariantMap param = find(description, QLatin1String(e.code));
            QCOMPARE(QVariantList({param.value("type"), param.value("unit"), param.value("precision", 0)}),
                     QVariantList({e.type, *e.unit ? QVariant(QString::fromUtf8(e.unit)) : QVariant(), e.precision}));
            // Only error parameters of the plain kinds say so; only enumerable kinds list items.
            const bool plain = QByteArrayList{"Value", "Flags", "List", "Enum"}.contains(e.type);
            QCOMPARE(param.value("isError").toBool(), m_catalogue.isErrorParam(QLatin1String(e.code)) && plain);
            QCOMPARE(param.contains("enum"), plain && QByteArray(e.type) != "Value");
        }
        QCOMPARE(find(description, "S1_t1").value("system").toInt(), 1);
        QCOMPARE(find(description, "S2_NS").value("name").toString(), QStringLiteral("НС системы"));   // the model's own title

        // Systems with the counts of their parameters, null cells skipped (the parameters' order: test_api).
        const QVariantMap result = describe({"S2_t1", "S1_t1", "S1_t2", "S2_t2", "Tm", "S1_M1"},
                                            {70.5, 71.0, QVariant(), 40.0, "12:30", QVariant()});
        QCOMPARE(result.value("systems").toList(),
                 (QVariantList{QVariantMap{{"code", 0}, {"name", "Общие параметры"}, {"size", 1}},
                               QVariantMap{{"code", 1}, {"name", "Отопление"}, {"size", 1}},
                               QVariantMap{{"code", 2}, {"name", "Горячее водоснабжение"}, {"size", 2}}}));
        const QVariantMap empty = describe({}, {});
        QVERIFY(empty.value("params").toList().isEmpty() && empty.value("systems").toList().isEmpty());
    }

    // The unit of an energy, power or pressure column is picked by its selector column (Qdim, Pdim), common first.
    void picksUnitsFromSelectors()
    {
        const QStringList qdim{"Qdim", "S1_Q"}, pdim{"Pdim", "S1_P2"};
        const struct { QStringList columns; QVariantList values; QVariant unit; } rows[] = {   // of the last column
            {qdim, {1, 12.5}, "ГДж"}, {{"Qdim", "S2_W"}, {2, 1.5}, "МВт"}, {{"S1_Qdim", "S1_Q"}, {0, 12.5}, "Гкал"},
            {{"Qdim", "S1_Qdim", "S1_Q"}, {1, 0, 3.0}, "ГДж"}, {qdim, {2, 12.5}, "МВт·ч"},
            {{"S1_Q"}, {12.5}, "Гкал"}, {{"S1_W"}, {1.5}, "Гкал/ч"},   // no selector
            {qdim, {3, 12.5}, {}}, {qdim, {0.5, 12.5}, {}}, {qdim, {"ГДж", 12.5}, {}},   // outside the list, not a number
            {pdim, {1, 6.2}, "МПа"}, {pdim, {"2", 6.2}, "bar"},
            {pdim, {QVariant(), 6.2}, {}}};   // a Pdim column without a value still says the unit is not known
        const auto text = [](const QVariant &unit) { return unit.isValid() ? '"' + unit.toString() + '"' : "none"; };
        for (const auto &row : rows) {
            const QString line = row.columns.join(' ') + " = " + QVariant(row.values).toStringList().join(' ') + ": ";
            QCOMPARE(line + text(find(describe(row.columns, row.values), row.columns.last()).value("unit")),
                     line + text(row.unit));
        }
    }

private:
    QVariantMap describe(const QStringList &columns, const QVariantList &values) const
    {
        return ParameterDescriber(m_catalogue).describe("QRV3", columns, values).value();
    }

    const MetadataCatalogue m_catalogue{QStringLiteral(ORVEX_METADATA_DIR)};
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
