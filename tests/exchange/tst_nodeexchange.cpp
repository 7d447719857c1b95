// Node export and import against a real database: a second import merges;
// packages of earlier releases are converted; bad packages and nodes the
// user cannot see change nothing. A node moved between two servers is
// compared whole end to end.

#include "archivestore.h"
#include "checkparams.h"
#include "database.h"
#include "groups.h"
#include "metadatacatalogue.h"
#include "nodeexport.h"
#include "nodeimport.h"
#include "nodes.h"
#include "sessionscope.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "user.h"
#include "users.h"
#include "zeltosystem.h"

#include <QtTest>

#include <memory>

namespace {

const QString kInfo = QStringLiteral("info");
const QVariant kOut = QVariant::fromValue(ZeltoOutOfRange());

QDateTime at(int day, int hour)
{
    return QDateTime(QDate(2024, 3, day), QTime(hour, 0), Qt::LocalTime);
}

ZeltoTable table(const QStringList &columns, const QList<QVariantList> &rows)
{
    ZeltoTable result(columns);
    for (const QVariantList &row : rows)
        result.appendRow(row);
    return result;
}

int count(const QString &tableName)
{
    return Database::selectTable(QStringLiteral("SELECT id FROM ") + tableName).rowCount();
}

} // namespace

class TestNodeExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void secondImportMerges();
    void nodeWithoutGroupNameGoesToCommonGroup();
    void convertsOlderPackages();
    void refusesBadPackages_data();
    void refusesBadPackages();
    void keepsOutOfOtherUsersNodes();
    void taskRowsAlwaysMakeNewTasks();

private:
    // A node of model QRV5 in group "Котельная" with a task and an hourly archive.
    int makeNode(int number);
    void reopen();

    std::unique_ptr<TempDatabaseHome> m_home;
};

void TestNodeExchange::initTestCase()
{
    // The catalogue is read once per process from the home folder of its
    // first use: the repository's own metadata files.
    qputenv("ORVEX_HOME", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath().toUtf8());
    QVERIFY(MetadataCatalogue::instance().models().contains(QStringLiteral("RNH7")));
}

void TestNodeExchange::init()
{
    reopen();
}

void TestNodeExchange::cleanup()
{
    m_home.reset();
}

void TestNodeExchange::reopen()
{
    m_home.reset();
    m_home.reset(new TempDatabaseHome);
    QVERIFY(m_home->open());
}

int TestNodeExchange::makeNode(int number)
{
    const int group = Groups::save({{QStringLiteral("name"), QStringLiteral("Котельная")}});
    const int node = Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                  {QStringLiteral("number"), number},
                                  {QStringLiteral("group_id"), group},
                                  {QStringLiteral("consumer"), QStringLiteral("ООО \"Тепло\"")}});
    const int task = Tasks::save({{QStringLiteral("node_id"), node},
                                  {QStringLiteral("channel"), QVariantMap{{QStringLiteral("code"), QStringLiteral("COM")}}}});
    ZeltoTableMap tables;
    tables.insert(kInfo, table({QStringLiteral("id")}, {{node}}));
    tables.insert(QStringLiteral("hour_data"), table({QStringLiteral("date"), QStringLiteral("S1_t1"), QStringLiteral("S1_Q")},
                                                     {{at(3, 0), 70.25, 1.5}, {at(3, 1), 71.0, kOut}, {at(3, 2), 96.5, 2.0}}));
    return group < 0 || task < 0 || !ArchiveStore::saveArchives(tables, false) ? -1 : node;
}

void TestNodeExchange::secondImportMerges()
{
    const int node = makeNode(13);
    QVERIFY(node >= 0);
    ZeltoTableMap package = NodeExport::exportNode(node).value<ZeltoTableMap>();
    // The same hour with a new value, and a new hour.
    ZeltoTable hours = table({QStringLiteral("date"), QStringLiteral("S1_t1")}, {{at(3, 1), 60.0}, {at(3, 5), 61.0}});
    package.insert(QStringLiteral("hour_data"), hours);
    ZeltoTable info = package.value(kInfo);
    info.setValue(0, QStringLiteral("consumer"), QStringLiteral("другой"));
    package.insert(kInfo, info);
    const int groups = count(QStringLiteral("groups"));
    const int tasks = count(QStringLiteral("tasks"));

    QCOMPARE(NodeImport::importNode(QVariant::fromValue(package)), node);
    QCOMPARE(count(QStringLiteral("groups")), groups);
    QCOMPARE(count(QStringLiteral("tasks")), tasks);
    // A known node keeps its row.
    QCOMPARE(Database::readRecord(QStringLiteral("nodes"), node).value(QStringLiteral("consumer")).toString(),
             QStringLiteral("ООО \"Тепло\""));
    ZeltoTable stored;
    QVERIFY(ArchiveStore::read(node, QStringLiteral("hour_data"), stored));
    QCOMPARE(stored.rowCount(), 4);
    QCOMPARE(stored.value(1, QStringLiteral("S1_t1")), QVariant(60.0));
    QCOMPARE(stored.value(1, QStringLiteral("S1_Q")), kOut);
    QCOMPARE(stored.value(3, QStringLiteral("date")), QVariant(at(3, 5)));
}

void TestNodeExchange::nodeWithoutGroupNameGoesToCommonGroup()
{
    ZeltoTableMap package;
    package.insert(kInfo, table({QStringLiteral("model_code"), QStringLiteral("number")}, {{QStringLiteral("QRV5"), 7}}));
    package.insert(QStringLiteral("group"), table({QStringLiteral("name")}, {{QVariant()}}));
    const int groups = count(QStringLiteral("groups"));
    const int id = NodeImport::importNode(QVariant::fromValue(package));
    QVERIFY2(id >= 0, qPrintable(ZeltoSystem::instance()->lastError()));
    const QVariantMap node = Database::readRecord(QStringLiteral("nodes"), id);
    QCOMPARE(node.value(QStringLiteral("group_id")).toInt(), 0);
    QCOMPARE(count(QStringLiteral("groups")), groups);
    QCOMPARE(count(QStringLiteral("tasks")), 0);
}

void TestNodeExchange::convertsOlderPackages()
{
    QVariantMap info{{QStringLiteral("model"), QStringLiteral("RNH7")},
                     {QStringLiteral("number"), 42},
                     {QStringLiteral("modelName"), QString()},
                     {QStringLiteral("channel"), QVariantMap{{QStringLiteral("code"), QStringLiteral("TCP")},
                                                             {QStringLiteral("hostName"), QStringLiteral("meter.local")},
                                                             {QStringLiteral("linkAdapter"), QStringLiteral("ETH485")},
                                                             {QStringLiteral("linkPort"), 4001},
                                                             {QStringLiteral("linkBaudRate"), QStringLiteral("9600")}}},
                     {QStringLiteral("readParams"), QVariantMap{{QStringLiteral("data"), QStringList{QStringLiteral("hourData")}}}},
                     {QStringLiteral("schedule"), QVariantMap{{QStringLiteral("type"), QStringLiteral("daily")},
                                                              {QStringLiteral("dayMask"), 3},
                                                              {QStringLiteral("times"), QVariantList{QStringLiteral("2016-01-01T18:30:00")}}}}};
    ZeltoTableMap package;
    package.insert(kInfo, ZeltoTable());
    package[kInfo].appendRow(info);
    package.insert(QStringLiteral("group"), table({QStringLiteral("name")}, {{QStringLiteral("Старая")}}));
    package.insert(QStringLiteral("params"), ZeltoTable());
    package[QStringLiteral("params")].appendRow(QVariantMap{
        {QStringLiteral("checkParams"), QVariantMap{{QStringLiteral("script"), QStringLiteral("  ")},
                                                    {QStringLiteral("checkErrors"), true}}}});
    package.insert(QStringLiteral("currentData"), table({QStringLiteral("date"), QStringLiteral("S1_t1")}, {{at(4, 1), 50.0}}));
    package.insert(QStringLiteral("dayData"), table({QStringLiteral("date"), QStringLiteral("Qdim")}, {{at(4, 0), 2}}));
    package.insert(QStringLiteral("monthData"), ZeltoTable({QStringLiteral("date")}));
    package.insert(QStringLiteral("journalData"),
                   table({QStringLiteral("date"), QStringLiteral("param"), QStringLiteral("oldValue"), QStringLiteral("newValue")},
                         {{at(4, 2), QStringLiteral("Qdim"), 1, 2}}));
    package.insert(QStringLiteral("settings"), table({QStringLiteral("name")}, {{QStringLiteral("x")}}));

    const int id = NodeImport::importNode(QVariant::fromValue(package));
    QVERIFY2(id >= 0, qPrintable(ZeltoSystem::instance()->lastError()));
    const QVariantMap node = Database::readRecord(QStringLiteral("nodes"), id);
    const QString modelName = MetadataCatalogue::instance().modelName(QStringLiteral("RNH7"));
    QCOMPARE(node.value(QStringLiteral("model_name")).toString(), modelName);
    QCOMPARE(node.value(QStringLiteral("name")).toString(), Nodes::defaultName(modelName, 42, QStringLiteral("RNH7")));
    QCOMPARE(CheckParams::load(id), QVariantMap({{QStringLiteral("checkErrors"), true}}));

    const int task = Database::findRowId(QStringLiteral("tasks"), QStringLiteral("node_id = ?"), {id});
    QVariantMap expectedChannel{{QStringLiteral("code"), QStringLiteral("TCP")},
                                {QStringLiteral("hostName"), QStringLiteral("meter.local")},
                                {QStringLiteral("adapter"), QVariantMap{{QStringLiteral("code"), QStringLiteral("ETH485")},
                                                                        {QStringLiteral("port"), QStringLiteral("4001")},
                                                                        {QStringLiteral("baudRate"), 9600u}}}};
    const QVariantMap form = Tasks::getData(task);
    QCOMPARE(form.value(QStringLiteral("channel")).toMap(), expectedChannel);
    QStringList archives{QStringLiteral("hourData")};
    if (MetadataCatalogue::instance().modelDriver(QStringLiteral("RNH7")) != QLatin1String("QRVK"))
        archives << QStringLiteral("settings") << QStringLiteral("journalData");
    QCOMPARE(form.value(QStringLiteral("archives")).toStringList(), archives);
    QCOMPARE(form.value(QStringLiteral("timetable")).toMap(),
             QVariantMap({{QStringLiteral("mode"), QStringLiteral("daily")}, {QStringLiteral("dayMask"), 3},
                          {QStringLiteral("times"), QVariantList{QStringLiteral("18:30:00")}}}));

    ZeltoTable stored;
    QVERIFY(ArchiveStore::read(id, QStringLiteral("current_data"), stored));
    QCOMPARE(stored.value(0, QStringLiteral("S1_t1")), QVariant(50.0));
    QVERIFY(ArchiveStore::read(id, QStringLiteral("day_data"), stored));
    QCOMPARE(stored.value(0, QStringLiteral("Pdim")), QVariant(2));
    const ZeltoTable journal = ArchiveStore::journalData(id, QDateTime(), QDateTime());
    QCOMPARE(journal.rowCount(), 1);
    QCOMPARE(journal.toMap(0).value(QStringLiteral("ctime")), QVariant(at(4, 2)));
    QCOMPARE(journal.toMap(0).value(QStringLiteral("new_value")).toInt(), 2);
    QCOMPARE(ArchiveStore::settingData(id).rowCount(), 0);
}

void TestNodeExchange::refusesBadPackages_data()
{
    QTest::addColumn<QVariant>("package");
    QTest::addColumn<QString>("message");
    auto withInfo = [](const QVariantList &values, const QString &extraName = QString(),
                       const ZeltoTable &extra = ZeltoTable()) {
        ZeltoTableMap package;
        package.insert(kInfo, table({QStringLiteral("model_code"), QStringLiteral("number")}, {values}));
        package.insert(QStringLiteral("group"), table({QStringLiteral("name")}, {{QStringLiteral("Новая")}}));
        if (!extraName.isEmpty())
            package.insert(extraName, extra);
        return QVariant::fromValue(package);
    };
    const QVariantList good{QStringLiteral("QRV5"), 500};
    QTest::newRow("not tables") << QVariant(QStringLiteral("пакет")) << "ожидается набор таблиц";
    QTest::newRow("map of non-tables") << QVariant(QVariantMap{{kInfo, 1}}) << "info не является таблицей";
    QTest::newRow("no info") << QVariant::fromValue(ZeltoTableMap()) << "нет таблицы info";
    QTest::newRow("unknown model") << withInfo({QStringLiteral("XX9"), 1}) << "Неизвестная модель прибора: XX9";
    QTest::newRow("number not a number") << withInfo({QStringLiteral("QRV5"), QStringLiteral("abc")})
                                         << "Неверный номер прибора: abc";
    QTest::newRow("list in an archive")
        << withInfo(good, QStringLiteral("hour_data"),
                    table({QStringLiteral("date"), QStringLiteral("S1_t1")}, {{at(1, 0), QVariantList{1}}}))
        << "архиве hour_data, строка 1, столбец S1_t1";
    QTest::newRow("archive row without a date")
        << withInfo(good, QStringLiteral("day_data"), table({QStringLiteral("date"), QStringLiteral("S1_t1")}, {{QVariant(), 1}}))
        << "day_data";
    QTest::newRow("task without a channel code")
        << withInfo(good, QStringLiteral("tasks"),
                    table({QStringLiteral("channel")}, {{QVariantMap{{QStringLiteral("port"), QStringLiteral("COM1")}}}}))
        << "channel_code";
    QTest::newRow("task of the wrong kind")
        << withInfo(good, QStringLiteral("tasks"), table({QStringLiteral("timetable")}, {{QStringLiteral("ежедневно")}}))
        << "timetable";
}

void TestNodeExchange::refusesBadPackages()
{
    QFETCH(QVariant, package);
    QFETCH(QString, message);
    const QStringList tables{QStringLiteral("nodes"), QStringLiteral("groups"), QStringLiteral("tasks"),
                             QStringLiteral("journal")};
    QList<int> before;
    for (const QString &name : tables)
        before.append(count(name));
    QCOMPARE(NodeImport::importNode(package), -1);
    const QString error = ZeltoSystem::instance()->lastError();
    QVERIFY2(error.contains(message), qPrintable(error));
    for (int i = 0; i < tables.size(); ++i)
        QCOMPARE(count(tables.at(i)), before.at(i));
}

void TestNodeExchange::keepsOutOfOtherUsersNodes()
{
    const int node = makeNode(14);
    QVERIFY(node >= 0);
    const QVariant package = NodeExport::exportNode(node);
    QVERIFY(Users::save({{QStringLiteral("login"), QStringLiteral("оператор")},
                         {QStringLiteral("password"), QStringLiteral("п")},
                         {QStringLiteral("groups"), QVariantList{0}}}) > 0);
    SessionScope scope{QString()};
    QVERIFY(!Users::login(QStringLiteral("оператор"), QStringLiteral("п")).isEmpty());

    QVERIFY(!NodeExport::exportNode(node).isValid());
    QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
    QVERIFY(!NodeExport::exportNode(node + 100).isValid());
    QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("Узел не найден"));
    ZeltoTable stored;
    QVERIFY(ArchiveStore::read(node, QStringLiteral("hour_data"), stored));
    const int journal = count(QStringLiteral("journal"));
    QCOMPARE(NodeImport::importNode(package), -1);
    QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
    ZeltoTable after;
    QVERIFY(ArchiveStore::read(node, QStringLiteral("hour_data"), after));
    QCOMPARE(after, stored);
    QCOMPARE(count(QStringLiteral("journal")), journal);
    User::logout();
}

void TestNodeExchange::taskRowsAlwaysMakeNewTasks()
{
    // A package naming a task id of this server must not take that task over.
    const int other = makeNode(15);
    QVERIFY(other >= 0);
    const int taken = Database::findRowId(QStringLiteral("tasks"), QStringLiteral("node_id = ?"), {other});
    const QVariantMap before = Tasks::getData(taken);
    ZeltoTableMap package;
    package.insert(kInfo, table({QStringLiteral("model_code"), QStringLiteral("number")}, {{QStringLiteral("QRV5"), 16}}));
    package.insert(QStringLiteral("tasks"),
                   table({QStringLiteral("id"), QStringLiteral("channel")},
                         {{taken, QVariantMap{{QStringLiteral("code"), QStringLiteral("TCP")}}}}));
    const int id = NodeImport::importNode(QVariant::fromValue(package));
    QVERIFY2(id >= 0, qPrintable(ZeltoSystem::instance()->lastError()));
    QCOMPARE(Tasks::get(taken).value(QStringLiteral("node_id")).toInt(), other);
    QCOMPARE(Tasks::getData(taken), before);
    const int created = Database::findRowId(QStringLiteral("tasks"), QStringLiteral("node_id = ?"), {id});
    QVERIFY(created != -1 && created != taken);
}

QTEST_GUILESS_MAIN(TestNodeExchange)
#include "tst_nodeexchange.moc"
