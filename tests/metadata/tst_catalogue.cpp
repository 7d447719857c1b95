// The device metadata catalogue: the files shipped with the server, the
// process-wide instance, and small broken folders written by the tests.

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

bool writeFile(const QString &folder, const QString &name, const QString &text)
{
    QFile file(QDir(folder).filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
}

const char kChannels[] =
    "<channels>"
    "<channel code='COM' name='Порт'><param>port</param><baudRates><value>9600</value></baudRates></channel>"
    "<channel code='TCP' name='Сеть'/>"
    "<channel code='GATE' name='Шлюз' isAdapter='true'><channels><code>TCP</code></channels></channel>"
    "</channels>";

const char kParams[] =
    "<params>"
    "<dbParams><param code='number' name='Заводской номер'/></dbParams>"
    "<commonParams>"
    "<param code='F' type='Flags' name='Флаги' isError='true'/>"
    "<param code='L' type='List' name='Список'/>"
    "</commonParams>"
    "<systemParams><param code='t1' type='t' name='Температура'/></systemParams>"
    "</params>";

QString model(const QString &systems = QString(), const QString &extra = QString())
{
    return QStringLiteral("<device numberDigits='5'><systems>%1</systems>%2</device>").arg(systems, extra);
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void shippedModelsAreComplete();
    void shippedLookups();
    void processWideInstanceReadsProgramFolder();
    void systemIndex();
    void systemCountDefaultsToFour();
    void fakeSystemHasNoTitle();
    void numbersItemsWithoutCode();
    void missingModelFileStopsLoading();
    void parseErrorNamesPlace();
    void badValuesAreParseErrors();
};

// The shipped files hang together: every model has its driver, name, legend
// and systems, every flags parameter it reports has its bits named, every
// parameter type is used, and the drivers' channels resolve.
void TestCatalogue::shippedModelsAreComplete()
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
    QCOMPARE(catalogue.driverChannels(QStringLiteral("QRVK")),
             QStringList({QStringLiteral("COM"), QStringLiteral("GSM"), QStringLiteral("PSTN"), QStringLiteral("TCP")}));
    QCOMPARE(catalogue.driverAdapteeChannels(QStringLiteral("QRVK")), QStringList{QStringLiteral("TCP")});
    QVERIFY(catalogue.driverAdapters(QStringLiteral("QRVK")).contains(QStringLiteral("ETH485")));
    QCOMPARE(catalogue.carriedChannels(QStringLiteral("ETH485")), QStringList{QStringLiteral("TCP")});
    QVERIFY(catalogue.channelParams(QStringLiteral("TCP")).contains(QStringLiteral("hostName")));
    QVERIFY(catalogue.channelBaudRates(QStringLiteral("COM")).contains(QStringLiteral("9600")));
}

// Lookups whose answers the code composes: system parameters per system,
// numbers padded per model, titles per model, labels, special systems.
void TestCatalogue::shippedLookups()
{
    const MetadataCatalogue catalogue(kShipped);
    QCOMPARE(catalogue.maxSystemCount(), 4);
    QVERIFY(catalogue.isParam(QStringLiteral("S4_t1")));
    for (const char *code : {"S5_t1", "t1", "number"})
        QVERIFY2(!catalogue.isParam(QLatin1String(code)), code);
    QCOMPARE(catalogue.formatNumber(123, QStringLiteral("NOSUCH")), QStringLiteral("00000123"));
    QCOMPARE(catalogue.formatNumber(123, QStringLiteral("QRV2")), QStringLiteral("000123"));
    QCOMPARE(catalogue.formatNumber(123, QStringLiteral("RNH7")), QStringLiteral("0000000123"));
    QVERIFY(catalogue.isCumulative(QStringLiteral("S2_M1")) && !catalogue.isCumulative(QStringLiteral("S1_t1")));
    QVERIFY(catalogue.isAveraged(QStringLiteral("S3_P2")) && !catalogue.isAveraged(QStringLiteral("S1_W")));
    QVERIFY(!catalogue.isFlags(QStringLiteral("NOSUCH")));
    QCOMPARE(catalogue.paramType(QStringLiteral("NOSUCH")), -1);
    QCOMPARE(MetadataCatalogue::typeName(catalogue.paramType(QStringLiteral("S2_gm1"))), QStringLiteral("g"));

    QCOMPARE(catalogue.paramTitle(QStringLiteral("S1_t1")), QStringLiteral("Температура в подающем трубопроводе"));
    QCOMPARE(catalogue.paramTitle(QStringLiteral("S2_t1"), QStringLiteral("RNH7")),
             QStringLiteral("Температура теплоносителя на входе"));
    QCOMPARE(catalogue.paramTitle(QStringLiteral("number")), QStringLiteral("Заводской номер"));
    QCOMPARE(catalogue.paramLabel(QStringLiteral("S2_M2")),
             QStringLiteral("[2] Масса теплоносителя в обратном трубопроводе"));
    QCOMPARE(catalogue.paramLabel(QStringLiteral("Tm")), QStringLiteral("Время наработки"));
    QCOMPARE(catalogue.paramLabel(QStringLiteral("number")), QString());

    const QString qrv3 = QStringLiteral("QRV3");
    const QStringList titles{catalogue.systemTitle(-1, qrv3), catalogue.systemTitle(-2, qrv3),
                             catalogue.systemTitle(-4, qrv3), catalogue.systemTitle(0, qrv3),
                             catalogue.systemTitle(2, qrv3), catalogue.systemTitle(3, qrv3),
                             catalogue.systemTitle(3, QStringLiteral("NOSUCH"))};
    QCOMPARE(titles, (QStringList{QString(), QStringLiteral("Все параметры"), QStringLiteral("Без общих параметров"),
                                  QStringLiteral("Общие параметры"), QStringLiteral("Горячее водоснабжение"),
                                  QStringLiteral("Неизвестные параметры"), QStringLiteral("Система 3")}));

    QCOMPARE(catalogue.paramEnum(QStringLiteral("S2_NS"), QStringLiteral("QRV13")).value(10).first, QStringLiteral("A"));
    QCOMPARE(catalogue.paramEnum(QStringLiteral("Qdim"), QStringLiteral("QRV2")).at(1),
             MetadataCatalogue::EnumItem(QStringLiteral("1"), QStringLiteral("ГДж")));
    QVERIFY(catalogue.paramEnum(QStringLiteral("S1_NS"), QStringLiteral("NOSUCH")).isEmpty());
    QCOMPARE(catalogue.archiveNames().first(), QStringLiteral("current_data"));
    QCOMPARE(catalogue.archiveTitle(QStringLiteral("month_totals")), QStringLiteral("Итоговый месячный архив"));
    QCOMPARE(catalogue.archiveShortTitle(QStringLiteral("day_totals")), QStringLiteral("Итог.суточный"));
    QCOMPARE(catalogue.archiveTitle(QStringLiteral("nothing")), QString());
}

void TestCatalogue::processWideInstanceReadsProgramFolder()
{
    // Only this test touches the instance: it must come from ORVEX_HOME.
    QTemporaryDir home;
    QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("metadata"))));
    for (const QString &name : QDir(kShipped).entryList(QDir::Files))
        QVERIFY(QFile::copy(QDir(kShipped).filePath(name), home.filePath(QStringLiteral("metadata/") + name)));
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
    QCOMPARE(catalogue.numberDigits(QStringLiteral("QRV2")), 6);
    QCOMPARE(catalogue.modelDriver(QStringLiteral("QRV12")), QStringLiteral("QRVH"));
    qunsetenv("ORVEX_HOME");
}

void TestCatalogue::systemIndex()
{
    QCOMPARE(MetadataCatalogue::systemIndex(QStringLiteral("S2_t4")), 2);
    QCOMPARE(MetadataCatalogue::systemIndex(QStringLiteral("S9_x")), 9);
    for (const char *column : {"date", "node_name", "model_name", "number"})
        QCOMPARE(MetadataCatalogue::systemIndex(QLatin1String(column)), -1);
    for (const char *column : {"Q", "SX_y", "S1_", "s1_t1", "S12_t", "Qdim", ""})
        QCOMPARE(MetadataCatalogue::systemIndex(QLatin1String(column)), 0);
}

void TestCatalogue::systemCountDefaultsToFour()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"), QString::fromUtf8(kParams)));
    const MetadataCatalogue catalogue(dir.path());
    QCOMPARE(catalogue.maxSystemCount(), 4);
    QCOMPARE(catalogue.paramCodes(),
             QStringList({QStringLiteral("F"), QStringLiteral("L"), QStringLiteral("S1_t1"), QStringLiteral("S2_t1"),
                          QStringLiteral("S3_t1"), QStringLiteral("S4_t1")}));
    QVERIFY(!catalogue.isParam(QStringLiteral("S5_t1")));
    // channels.xml and drivers.xml are missing: reported, nothing else lost.
    QVERIFY(catalogue.loadError().contains(QStringLiteral("channels.xml")));
    QVERIFY(catalogue.loadError().contains(QStringLiteral("drivers.xml")));
    QVERIFY(catalogue.channels().isEmpty());
    QCOMPARE(catalogue.numberDigits(QStringLiteral("QRV2")), 8);
}

void TestCatalogue::fakeSystemHasNoTitle()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"), QString::fromUtf8(kParams)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("drivers.xml"),
                      QStringLiteral("<drivers><driver code='D'><devices><device code='M' name='Модель' file='m.xml'/>"
                                     "</devices></driver></drivers>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("m.xml"),
                      model(QStringLiteral("<system code='1' name='Отопление'/><system code='2' isFake='true' name='Служебная'/>"),
                            QStringLiteral("<systemParams><params><param code='t1' name='t подачи'/></params></systemParams>"))));
    const MetadataCatalogue catalogue(dir.path());
    QCOMPARE(catalogue.modelSystems(QStringLiteral("M")), QList<int>{1});
    QCOMPARE(catalogue.systemTitle(1, QStringLiteral("M")), QStringLiteral("Отопление"));
    QCOMPARE(catalogue.systemTitle(2, QStringLiteral("M")), QStringLiteral("Неизвестные параметры"));
    QCOMPARE(catalogue.paramTitle(QStringLiteral("S1_t1"), QStringLiteral("M")), QStringLiteral("t подачи"));
    QCOMPARE(catalogue.paramTitle(QStringLiteral("S2_t1"), QStringLiteral("M")), QStringLiteral("Температура"));
    QCOMPARE(catalogue.paramLabel(QStringLiteral("S1_t1"), QStringLiteral("M")), QStringLiteral("[1] t подачи"));
    QCOMPARE(catalogue.numberDigits(QStringLiteral("M")), 5);
}

void TestCatalogue::numbersItemsWithoutCode()
{
    QString flagItems;
    for (int bit = 0; bit < 38; ++bit)
        flagItems += bit == 2 ? QStringLiteral("<item code='X'>бит</item>") : QStringLiteral("<item>бит</item>");
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("channels.xml"), QString::fromUtf8(kChannels)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"), QString::fromUtf8(kParams)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("drivers.xml"),
                      QStringLiteral("<drivers><driver code='D'><devices><device code='M' file='m.xml'/></devices>"
                                     "</driver></drivers>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("m.xml"),
                      model(QStringLiteral("<system code='1'/>"),
                            QStringLiteral("<paramEnums>"
                                           "<paramEnum><params><param>F</param></params><items>%1</items></paramEnum>"
                                           "<paramEnum><params><param>L</param><param>S1_t1</param></params>"
                                           "<items><item>а</item><item code='7'>б</item><item> в </item></items></paramEnum>"
                                           "</paramEnums>")
                                .arg(flagItems))));
    const MetadataCatalogue catalogue(dir.path());
    QCOMPARE(catalogue.loadError(), QString());
    QStringList codes;
    for (const auto &item : catalogue.paramEnum(QStringLiteral("F"), QStringLiteral("M")))
        codes.append(item.first);
    QCOMPARE(codes.mid(0, 4), QStringList({QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("X"), QStringLiteral("3")}));
    QCOMPARE(codes.at(10), QStringLiteral("A"));
    QCOMPARE(codes.at(35), QStringLiteral("Z"));
    QCOMPARE(codes.at(36), QStringLiteral("36"));
    const QList<MetadataCatalogue::EnumItem> list{{QStringLiteral("0"), QStringLiteral("а")},
                                                  {QStringLiteral("7"), QStringLiteral("б")},
                                                  {QStringLiteral("2"), QStringLiteral("в")}};
    QCOMPARE(catalogue.paramEnum(QStringLiteral("L"), QStringLiteral("M")), list);
    QCOMPARE(catalogue.paramEnum(QStringLiteral("S1_t1"), QStringLiteral("M")), list);
}

void TestCatalogue::missingModelFileStopsLoading()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("channels.xml"), QString::fromUtf8(kChannels)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"), QString::fromUtf8(kParams)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("drivers.xml"),
                      QStringLiteral("<drivers>"
                                     "<driver code='A' name='Первый'>"
                                     "<channels><code isAdaptee='true'>TCP</code><code>GATE</code><code>XYZ</code>"
                                     "<code>COM</code></channels>"
                                     "<devices><device code='M1' name='Один' file='m1.xml'/>"
                                     "<device code='M2' file='absent.xml'/><device code='M3' file='m3.xml'/></devices>"
                                     "</driver>"
                                     "<driver code='B'><devices><device code='M4' file='m3.xml'/></devices></driver>"
                                     "</drivers>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("m1.xml"), model(QStringLiteral("<system code='1'/>"))));
    QVERIFY(writeFile(dir.path(), QStringLiteral("m3.xml"), model(QStringLiteral("<system code='1'/>"))));
    ZeltoSystem::instance()->clearError();
    const MetadataCatalogue catalogue(dir.path());

    QCOMPARE(catalogue.models(), QStringList{QStringLiteral("M1")});
    QCOMPARE(catalogue.drivers(), QStringList{QStringLiteral("A")});
    QCOMPARE(catalogue.modelDriver(QStringLiteral("M1")), QStringLiteral("A"));
    QCOMPARE(catalogue.modelName(QStringLiteral("M1")), QStringLiteral("Один"));
    QCOMPARE(catalogue.numberDigits(QStringLiteral("M1")), 5);
    for (const char *later : {"M2", "M3", "M4"})
        QCOMPARE(catalogue.modelDriver(QLatin1String(later)), QString());
    QCOMPARE(catalogue.driverChannels(QStringLiteral("A")), QStringList({QStringLiteral("TCP"), QStringLiteral("COM")}));
    QCOMPARE(catalogue.driverAdapteeChannels(QStringLiteral("A")), QStringList{QStringLiteral("TCP")});
    QCOMPARE(catalogue.driverAdapters(QStringLiteral("A")), QStringList{QStringLiteral("GATE")});

    // The file's own error text reaches the error channel.
    QFile absent(dir.filePath(QStringLiteral("absent.xml")));
    QVERIFY(!absent.open(QIODevice::ReadOnly));
    QCOMPARE(ZeltoSystem::instance()->lastError(), absent.errorString());
    QVERIFY(catalogue.loadError().contains(QStringLiteral("absent.xml")));
}

void TestCatalogue::parseErrorNamesPlace()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("channels.xml"), QString::fromUtf8(kChannels)));
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"),
                      QStringLiteral("<params>\n<commonParams><param code='Q' type='Q'/></commonParams>\n"
                                     "  <systemParams></params>\n")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("drivers.xml"), QStringLiteral("<drivers/>")));
    ZeltoSystem::instance()->clearError();
    const MetadataCatalogue catalogue(dir.path());
    const QString error = ZeltoSystem::instance()->lastError();
    const QString place = QStringLiteral(" (file: %1, line: 3, column: 25)").arg(dir.filePath(QStringLiteral("params.xml")));
    // The parser's own message comes first.
    QVERIFY2(error.endsWith(place) && error.size() > place.size(), qPrintable(error));
    QCOMPARE(catalogue.loadError(), error);
    // Nothing of the broken file stays; the other files do.
    QVERIFY(!catalogue.isParam(QStringLiteral("Q")));
    QCOMPARE(catalogue.channels(), QStringList({QStringLiteral("COM"), QStringLiteral("TCP")}));
    QCOMPARE(catalogue.channelName(QStringLiteral("GATE")), QStringLiteral("Шлюз"));
}

void TestCatalogue::badValuesAreParseErrors()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"),
                      QStringLiteral("<params><commonParams><param code='X' type='Kelvin'/></commonParams></params>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("drivers.xml"),
                      QStringLiteral("<drivers><driver code='D'><devices>"
                                     "<device code='BAD' name='Плохая' file='bad.xml'/><device code='OK' file='ok.xml'/>"
                                     "</devices></driver></drivers>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("bad.xml"),
                      QStringLiteral("<device numberDigits='9999999999'><systems><system code='1'/></systems></device>")));
    QVERIFY(writeFile(dir.path(), QStringLiteral("ok.xml"), model(QStringLiteral("<system code='1'/>"))));
    const MetadataCatalogue catalogue(dir.path());
    const QString errors = catalogue.loadError();
    QVERIFY2(errors.contains(QStringLiteral("Kelvin")) && errors.contains(QStringLiteral("params.xml")), qPrintable(errors));
    QVERIFY2(errors.contains(QStringLiteral("numberDigits")) && errors.contains(QStringLiteral("bad.xml")),
             qPrintable(errors));
    // A model file that does not parse keeps the model as drivers.xml names
    // it, and loading goes on.
    QCOMPARE(catalogue.models(), QStringList({QStringLiteral("BAD"), QStringLiteral("OK")}));
    QCOMPARE(catalogue.modelName(QStringLiteral("BAD")), QStringLiteral("Плохая"));
    QCOMPARE(catalogue.numberDigits(QStringLiteral("BAD")), 8);
    QVERIFY(catalogue.modelSystems(QStringLiteral("BAD")).isEmpty());
    QCOMPARE(catalogue.numberDigits(QStringLiteral("OK")), 5);

    // Not XML at all, or empty.
    QVERIFY(writeFile(dir.path(), QStringLiteral("channels.xml"), QString()));
    QVERIFY(writeFile(dir.path(), QStringLiteral("params.xml"), QStringLiteral("\x01\x02 binary")));
    const MetadataCatalogue empty(dir.path());
    QVERIFY(empty.loadError().contains(QStringLiteral("channels.xml")));
    QVERIFY(empty.paramCodes().isEmpty());
    QCOMPARE(empty.maxSystemCount(), 4);
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
