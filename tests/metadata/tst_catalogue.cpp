#include "lasterror.h"
#include "metadatacatalogue.h"
#include "zeltosystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>
#include <vector>

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
            ok = ok && out.open(QIODevice::WriteOnly) && out.write(file.second.toUtf8()) == file.second.toUtf8().size();
        }
    }
    bool ok = isValid();
};

QString model(const QString &systems, const QString &extra = QString())
{
    return QStringLiteral("<device numberDigits='5'><systems>%1</systems>%2</device>").arg(systems, extra);
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    // The shipped files hang together: models, drivers, flag bits, types, channels.
    void shippedModelsAreComplete()
    {
        const MetadataCatalogue catalogue(kShipped);
        QCOMPARE(catalogue.loadError(), QString());
        for (const char *code : {"QRV2", "QRV3", "QRV5", "QRV12", "QRV13", "RNH7", "LWD41", "LWD43"})
            QVERIFY2(catalogue.models().contains(QLatin1String(code)), code);
        QSet<int> types;
        for (const QString &code : catalogue.paramCodes())
            types.insert(catalogue.paramType(code));
        QCOMPARE(types.size(), int(MetadataCatalogue::Pe) + 1);
        for (const QString &model : catalogue.models()) {
            QVERIFY2(catalogue.driverModels(catalogue.modelDriver(model)).contains(model), qPrintable(model));
            QVERIFY2(!catalogue.modelName(model).isEmpty() && !catalogue.modelLegend(model).isEmpty(), qPrintable(model));
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
        QCOMPARE(catalogue.driverAdapteeChannels("QRVK"), QStringList{"TCP"});
        QVERIFY(catalogue.driverAdapters("QRVK").contains("ETH485"));
        QCOMPARE(catalogue.carriedChannels("ETH485"), QStringList{"TCP"});
        QVERIFY(catalogue.channelParams("TCP").contains("hostName"));
        QVERIFY(catalogue.channelBaudRates("COM").contains("9600"));
    }

    // Lookups whose answers the code composes.
    void shippedLookups()
    {
        const MetadataCatalogue catalogue(kShipped);
        QCOMPARE(catalogue.maxSystemCount(), 4);
        QVERIFY(catalogue.isParam("S4_t1"));
        for (const char *code : {"S5_t1", "t1", "number"})
            QVERIFY2(!catalogue.isParam(QLatin1String(code)), code);
        QCOMPARE(catalogue.formatNumber(123, "NOSUCH"), QStringLiteral("00000123"));
        QCOMPARE(catalogue.formatNumber(123, "QRV2"), QStringLiteral("000123"));
        QCOMPARE(catalogue.formatNumber(123, "RNH7"), QStringLiteral("0000000123"));
        QVERIFY(catalogue.isCumulative("S2_M1") && !catalogue.isCumulative("S1_t1"));
        QVERIFY(catalogue.isAveraged("S3_P2") && !catalogue.isAveraged("S1_W"));
        QVERIFY(!catalogue.isFlags("NOSUCH"));
        QCOMPARE(catalogue.paramType("NOSUCH"), -1);
        QCOMPARE(MetadataCatalogue::typeName(catalogue.paramType("S2_gm1")), QStringLiteral("g"));

        QCOMPARE(catalogue.paramTitle("S1_t1"), QStringLiteral("Температура в подающем трубопроводе"));
        QCOMPARE(catalogue.paramTitle("S2_t1", "RNH7"), QStringLiteral("Температура теплоносителя на входе"));
        QCOMPARE(catalogue.paramTitle("number"), QStringLiteral("Заводской номер"));
        QCOMPARE(catalogue.paramLabel("S2_M2"), QStringLiteral("[2] Масса теплоносителя в обратном трубопроводе"));
        QCOMPARE(catalogue.paramLabel("Tm"), QStringLiteral("Время наработки"));
        QCOMPARE(catalogue.paramLabel("number"), QString());

        QStringList titles;
        for (int system : {-1, -2, -4, 0, 2, 3})
            titles << catalogue.systemTitle(system, "QRV3");
        titles << catalogue.systemTitle(3, "NOSUCH");
        QCOMPARE(titles, QStringList({"", "Все параметры", "Без общих параметров", "Общие параметры",
                                      "Горячее водоснабжение", "Неизвестные параметры", "Система 3"}));

        QCOMPARE(catalogue.paramEnum("S2_NS", "QRV13").value(10).first, QStringLiteral("A"));
        QCOMPARE(catalogue.paramEnum("Qdim", "QRV2").at(1), MetadataCatalogue::EnumItem("1", "ГДж"));
        QVERIFY(catalogue.paramEnum("S1_NS", "NOSUCH").isEmpty());
        QCOMPARE(catalogue.archiveNames().first(), QStringLiteral("current_data"));
        QCOMPARE(catalogue.archiveTitle("month_totals"), QStringLiteral("Итоговый месячный архив"));
        QCOMPARE(catalogue.archiveShortTitle("day_totals"), QStringLiteral("Итог.суточный"));
        QCOMPARE(catalogue.archiveTitle("nothing"), QString());
    }

    void processWideInstanceReadsProgramFolder()
    {
        // Only this test touches the instance: it must come from ORVEX_HOME.
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath("metadata")));
        for (const QString &name : QDir(kShipped).entryList(QDir::Files))
            QVERIFY(QFile::copy(QDir(kShipped).filePath(name), home.filePath("metadata/" + name)));
        qputenv("ORVEX_HOME", home.path().toUtf8());
        // The first calls race from several threads; one catalogue comes out.
        const MetadataCatalogue *seen[4] = {};
        std::vector<std::thread> threads;
        for (const MetadataCatalogue *&slot : seen)
            threads.emplace_back([&slot] { slot = &MetadataCatalogue::instance(); });
        for (std::thread &thread : threads)
            thread.join();
        const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
        for (const MetadataCatalogue *other : seen)
            QCOMPARE(other, &catalogue);
        QCOMPARE(catalogue.numberDigits("QRV2"), 6);
        QCOMPARE(catalogue.modelDriver("QRV12"), QStringLiteral("QRVH"));
        qunsetenv("ORVEX_HOME");
    }

    void systemIndex()
    {
        QCOMPARE(MetadataCatalogue::systemIndex("S2_t4"), 2);
        QCOMPARE(MetadataCatalogue::systemIndex("S9_x"), 9);
        for (const char *column : {"date", "node_name", "model_name", "number"})
            QCOMPARE(MetadataCatalogue::systemIndex(QLatin1String(column)), -1);
        for (const char *column : {"Q", "SX_y", "S1_", "s1_t1", "S12_t", "Qdim", ""})
            QCOMPARE(MetadataCatalogue::systemIndex(QLatin1String(column)), 0);
    }

    void systemCountDefaultsToFour()
    {
        const Folder dir({{"params.xml", kParams}});
        QVERIFY(dir.ok);
        const MetadataCatalogue catalogue(dir.path());
        QCOMPARE(catalogue.maxSystemCount(), 4);
        QCOMPARE(catalogue.paramCodes(), QStringList({"F", "L", "S1_t1", "S2_t1", "S3_t1", "S4_t1"}));
        QVERIFY(!catalogue.isParam("S5_t1"));
        // channels.xml and drivers.xml are missing: reported, nothing else lost.
        QVERIFY(catalogue.loadError().contains("channels.xml"));
        QVERIFY(catalogue.loadError().contains("drivers.xml"));
        QVERIFY(catalogue.channels().isEmpty());
        QCOMPARE(catalogue.numberDigits("QRV2"), 8);
    }

    void fakeSystemHasNoTitle()
    {
        const Folder dir({{"params.xml", kParams},
                          {"drivers.xml", "<drivers><driver code='D'><devices><device code='M' name='Модель' file='m.xml'/>"
                                          "</devices></driver></drivers>"},
                          {"m.xml", model("<system code='1' name='Отопление'/><system code='2' isFake='true' name='Служебная'/>",
                                          "<systemParams><params><param code='t1' name='t подачи'/></params></systemParams>")}});
        QVERIFY(dir.ok);
        const MetadataCatalogue catalogue(dir.path());
        QCOMPARE(catalogue.modelSystems("M"), QList<int>{1});
        QCOMPARE(catalogue.systemTitle(1, "M"), QStringLiteral("Отопление"));
        QCOMPARE(catalogue.systemTitle(2, "M"), QStringLiteral("Неизвестные параметры"));
        QCOMPARE(catalogue.paramTitle("S1_t1", "M"), QStringLiteral("t подачи"));
        QCOMPARE(catalogue.paramTitle("S2_t1", "M"), QStringLiteral("Температура"));
        QCOMPARE(catalogue.paramLabel("S1_t1", "M"), QStringLiteral("[1] t подачи"));
        QCOMPARE(catalogue.numberDigits("M"), 5);
    }

    void numbersItemsWithoutCode()
    {
        QString flagItems;
        for (int bit = 0; bit < 38; ++bit)
            flagItems += bit == 2 ? "<item code='X'>бит</item>" : "<item>бит</item>";
        const Folder dir({{"channels.xml", kChannels},
                          {"params.xml", kParams},
                          {"drivers.xml", "<drivers><driver code='D'><devices><device code='M' file='m.xml'/></devices>"
                                          "</driver></drivers>"},
                          {"m.xml", model("<system code='1'/>", "<paramEnums>"
                                          "<paramEnum><params><param>F</param></params><items>"
                                              + flagItems + "</items></paramEnum>"
                                          "<paramEnum><params><param>L</param><param>S1_t1</param></params>"
                                          "<items><item>а</item><item code='7'>б</item><item> в </item></items></paramEnum>"
                                          "</paramEnums>")}});
        QVERIFY(dir.ok);
        const MetadataCatalogue catalogue(dir.path());
        QCOMPARE(catalogue.loadError(), QString());
        QStringList codes;
        for (const auto &item : catalogue.paramEnum("F", "M"))
            codes.append(item.first);
        QCOMPARE(codes.mid(0, 4), QStringList({"0", "1", "X", "3"}));
        QCOMPARE(codes.at(10), QStringLiteral("A"));
        QCOMPARE(codes.at(35), QStringLiteral("Z"));
        QCOMPARE(codes.at(36), QStringLiteral("36"));
        const QList<MetadataCatalogue::EnumItem> list{{"0", "а"}, {"7", "б"}, {"2", "в"}};
        QCOMPARE(catalogue.paramEnum("L", "M"), list);
        QCOMPARE(catalogue.paramEnum("S1_t1", "M"), list);
    }

    void missingModelFileStopsLoading()
    {
        const Folder dir({{"channels.xml", kChannels},
                          {"params.xml", kParams},
                          {"drivers.xml", "<drivers>" "<driver code='A' name='Первый'>"
                                          "<channels><code isAdaptee='true'>TCP</code><code>GATE</code><code>XYZ</code>"
                                          "<code>COM</code></channels>"
                                          "<devices><device code='M1' name='Один' file='m1.xml'/>"
                                          "<device code='M2' file='absent.xml'/><device code='M3' file='m3.xml'/></devices>"
                                          "</driver>"
                                          "<driver code='B'><devices><device code='M4' file='m3.xml'/></devices></driver>"
                                          "</drivers>"},
                          {"m1.xml", kOneSystem},
                          {"m3.xml", kOneSystem}});
        QVERIFY(dir.ok);
        ZeltoSystem::instance()->clearError();
        const MetadataCatalogue catalogue(dir.path());

        QCOMPARE(catalogue.models(), QStringList{"M1"});
        QCOMPARE(catalogue.drivers(), QStringList{"A"});
        QCOMPARE(catalogue.modelDriver("M1"), QStringLiteral("A"));
        QCOMPARE(catalogue.modelName("M1"), QStringLiteral("Один"));
        QCOMPARE(catalogue.numberDigits("M1"), 5);
        for (const char *later : {"M2", "M3", "M4"})
            QCOMPARE(catalogue.modelDriver(QLatin1String(later)), QString());
        QCOMPARE(catalogue.driverChannels("A"), QStringList({"TCP", "COM"}));
        QCOMPARE(catalogue.driverAdapteeChannels("A"), QStringList{"TCP"});
        QCOMPARE(catalogue.driverAdapters("A"), QStringList{"GATE"});

        // The file's own error text reaches the error channel.
        QFile absent(dir.filePath("absent.xml"));
        QVERIFY(!absent.open(QIODevice::ReadOnly));
        QCOMPARE(lastError(), absent.errorString());
        QVERIFY(catalogue.loadError().contains("absent.xml"));
    }

    void parseErrorNamesPlace()
    {
        const Folder dir({{"channels.xml", kChannels},
                          {"params.xml", "<params>\n<commonParams><param code='Q' type='Q'/></commonParams>\n"
                                         "  <systemParams></params>\n"},
                          {"drivers.xml", "<drivers/>"}});
        QVERIFY(dir.ok);
        ZeltoSystem::instance()->clearError();
        const MetadataCatalogue catalogue(dir.path());
        const QString error = lastError();
        const QString place = QStringLiteral(" (file: %1, line: 3, column: 25)").arg(dir.filePath("params.xml"));
        // The parser's own message comes first.
        QVERIFY2(error.endsWith(place) && error.size() > place.size(), qPrintable(error));
        QCOMPARE(catalogue.loadError(), error);
        // Nothing of the broken file stays; the other files do.
        QVERIFY(!catalogue.isParam("Q"));
        QCOMPARE(catalogue.channels(), QStringList({"COM", "TCP"}));
        QCOMPARE(catalogue.channelName("GATE"), QStringLiteral("Шлюз"));
    }

    void badValuesAreParseErrors()
    {
        const Folder dir({{"params.xml", "<params><commonParams><param code='X' type='Kelvin'/></commonParams></params>"},
                          {"drivers.xml", "<drivers><driver code='D'><devices>"
                                          "<device code='BAD' name='Плохая' file='bad.xml'/><device code='OK' file='ok.xml'/>"
                                          "</devices></driver></drivers>"},
                          {"bad.xml", "<device numberDigits='9999999999'><systems><system code='1'/></systems></device>"},
                          {"ok.xml", kOneSystem}});
        QVERIFY(dir.ok);
        const MetadataCatalogue catalogue(dir.path());
        const QString errors = catalogue.loadError();
        QVERIFY2(errors.contains("Kelvin") && errors.contains("params.xml"), qPrintable(errors));
        QVERIFY2(errors.contains("numberDigits") && errors.contains("bad.xml"), qPrintable(errors));
        // A model file that does not parse keeps the model as drivers.xml names it.
        QCOMPARE(catalogue.models(), QStringList({"BAD", "OK"}));
        QCOMPARE(catalogue.modelName("BAD"), QStringLiteral("Плохая"));
        QCOMPARE(catalogue.numberDigits("BAD"), 8);
        QVERIFY(catalogue.modelSystems("BAD").isEmpty());
        QCOMPARE(catalogue.numberDigits("OK"), 5);

        // Not XML at all, or empty.
        const Folder broken({{"channels.xml", ""}, {"params.xml", "\x01\x02 binary"}});
        QVERIFY(broken.ok);
        const MetadataCatalogue empty(broken.path());
        QVERIFY(empty.loadError().contains("channels.xml"));
        QVERIFY(empty.paramCodes().isEmpty());
        QCOMPARE(empty.maxSystemCount(), 4);
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
