// The OPC publisher without its gateway, and the item names, values, units and endpoint address it publishes.

#include "datamonitor.h"
#include "groups.h"
#include "../monitor/monitorresults.h"
#include "archivestore.h"
#include "outcome.h"
#include "nodes.h"
#include "metadatacatalogue.h"
#include "opcendpointaddress.h"
#include "opcitemnames.h"
#include "opcserver.h"
#include "opcvalue.h"
#include "opcvisibility.h"
#include "tasks.h"
#include "transliteration.h"
#include "users.h"
#include "tempdatabasehome.h"
#include "zeltoenvironment.h"

#include <QtTest>

#include <memory>

const QString kT1 = "QRV2_000123.S1.t1";
const QString kTm = "QRV2_000123.Tm";

class TestOpcServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ZeltoEnvironment::set("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
        QCOMPARE(outcome(m_home.open()), "ok");
        QVERIFY(testDatabase().putSetting("useRussianInOPC", false).ok());

        m_node = newNode(123);
        m_emptyNode = newNode(124);
        for (int node : {m_node, m_emptyNode})
            QVERIFY(Tasks::save(serverContext(), {{"node_id", node},
                                 {"channel", QVariantMap{{"code", "COM"}, {"port", QString("COM%1").arg(node)}}},
                                 {"archives", QStringList{"currentData"}}}).valueOr(-1) > 0);
        ZeltoTable current({"date", "S1_t1", "Tm", "NSD", "S1_t2", "not_a_param"});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(0, 0)), 70.0, 10, 0, 50.0, 1});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 2), QTime(0, 0)), 71.5, 11, QVariantList{1}, QVariant(), 1});
        // Written as an older server could store it: saves now refuse the list.
        QCOMPARE(outcome(testDatabase().write("nodes", m_node, {{"current_data", QVariant::fromValue(current)}})),
                 "ok");
        m_polling.reset(new TaskManager(&testDatabase(), TaskManager::TaskFactory(), &m_clock));
        m_monitor.reset(new DataMonitor(&testDatabase(), 3600 * 1000, &m_clock, m_polling.get()));
    }

    void cleanupTestCase()
    {
        m_monitor.reset();
        m_polling.reset();
    }

    void itemsTheirUseAndQuality()
    {
        OPCServer server(&testDatabase(), m_monitor.get());
        server.buildAddressSpace();
        // Catalogued parameters whose last value has a type: no date, unknown column, list or null.
        QCOMPARE(server.items().size(), 2);
        QCOMPARE(QList<int>({server.items().value(kT1).type, server.items().value(kTm).type}),
                 QList<int>({OpcValue::Double, OpcValue::Int32}));

        // A name of a million separators is not split a million times: passed over like any unknown one.
        server.setItemsUsed({kT1, kTm, "no such item", QString(1 << 20, '.')}, true);
        QCOMPARE(m_monitor->subscriptions(-1), QSet<int>{m_node});
        // The node stays watched while one of its items is in use.
        server.setItemsUsed({kTm}, false);
        QCOMPARE(m_monitor->subscriptions(-1), QSet<int>{m_node});

        // Good, a failed run, good again, a value that does not fit its item (bad, not a crash).
        const QList<std::tuple<QVariant, QVariant, QJsonArray>> runs{{80.25, QVariant(), {kT1, 80.25, 0xC0}},
                                                                     {QVariant(), "Прибор не отвечает", {kT1, 0, 0x08}},
                                                                     {81.0, QVariant(), {kT1, 81.0, 0xC0}},
                                                                     {"---", QVariant(), {kT1, 0, 0x00}}};
        for (const auto &[t1, error, item] : runs) {
            QCOMPARE(announcedAfter(m_clock, m_polling.get(), m_monitor.get(),
                                    {{{"node_id", m_node}, {"S1_t1", t1}, {"MON_ERR", error}}}),
                     QList<int>{m_node});
            QCOMPARE(server.updateMessage(m_node).value("items").toArray(), QJsonArray({item}));
        }
        server.setItemsUsed({kT1}, false);
        QCOMPARE(m_monitor->subscriptions(-1), QSet<int>());
        QVERIFY(server.updateMessage(m_node).isEmpty());
    }

    void visibilityByUser()
    {
        // As over RPC: the nodes of the user's groups, every node for the administrator, nothing for nobody. (A user
        // removed sees nothing either: test_opc test_6_each_user_sees_the_items_of_its_groups_nodes.)
        const int group = Groups::save(serverContext(), {{"name", "Север"}}).valueOr(-1);
        QCOMPARE(outcome(Nodes::setGroup(serverContext(), m_emptyNode, group)), "ok");
        const auto user = [](const QVariantMap &record) { return Users::save(&testDatabase(), record).valueOr(-1); };
        const int both = user({{"login", "both"}, {"password", "b"}, {"groups", QVariantList{group, 0}}});
        // Rights to every command do not widen what a user's groups show.
        const int allowed = user({{"login", "allowed"}, {"password", "a"}, {"groups", QVariantList{group}},
                                  {"access", QStringList{"allowAll"}}});
        QVERIFY(both > 0 && allowed > 0);
        const QJsonArray sorted =
            m_node < m_emptyNode ? QJsonArray{m_node, m_emptyNode} : QJsonArray{m_emptyNode, m_node};
        const QList<std::pair<int, QJsonObject>> cases{{0, {{"all", true}}},
                                                       {allowed, {{"nodes", QJsonArray{m_emptyNode}}}},
                                                       {both, {{"nodes", sorted}}},
                                                       {-1, {{"nodes", QJsonArray()}}}};
        const auto json = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); };
        for (const auto &[user, view] : cases)
            QCOMPARE(json(OpcVisibility::of(&testDatabase(), user)), json(view));
        QCOMPARE(outcome(Nodes::setGroup(serverContext(), m_emptyNode, 0)), "ok");
    }

    void unitsAndDescriptionsSent()
    {
        // A device that counts heat in MWh ("Qdim" 2): its heat items carry that unit, as describeParams says.
        const int node = newNode(125);
        ZeltoTable current({"date", "Qdim", "S1_Q", "S1_W", "S1_t1", "NSD"});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 2), QTime(0, 0)), 2, 1234.5, 0.75, 70.5, 0});
        QCOMPARE(outcome(testDatabase().write("nodes", node, {{"current_data", QVariant::fromValue(current)}})), "ok");
        // In Latin names (the Russian ones, and their units: test_opc test_1_tree_follows_the_item_names).
        OPCServer server(&testDatabase(), m_monitor.get());
        server.buildAddressSpace();
        // The node's shape, then the node by it: id|unit|unitCode|description|value of each item.
        const QList<QJsonObject> messages = server.itemsMessages(node);
        QCOMPARE(messages.size(), 2);
        const QJsonArray shape = messages[0].value("items").toArray();
        const QJsonObject entry = messages[1].value("nodes").toArray().at(0).toObject();
        QCOMPARE(entry.value("shape"), messages[0].value("shape"));
        QCOMPARE(entry.value("node").toInt(), node);
        QCOMPARE(entry.value("time").toString(),
                 QDateTime(QDate(2024, 5, 2), QTime(0, 0)).toUTC().toString(Qt::ISODateWithMs));
        const QJsonArray values = entry.value("values").toArray();
        QCOMPARE(values.size(), shape.size());
        QStringList sent;
        for (int i = 0; i < shape.size(); ++i) {
            const QJsonArray item = shape[i].toArray();
            sent << QStringList{entry.value("branch").toString() + "." + item[0].toString(), item[2].toString(),
                                item[3].toString(), item[4].toString(), QString::number(values[i].toDouble())}
                        .join('|');
        }
        sent.sort();
        QCOMPARE(sent, QStringList({"QRV2_000125.NSD|||NS vychislitelia|0",
                                    "QRV2_000125.Qdim|||Edinitsy izmereniia teplovoi energii|2",
                                    "QRV2_000125.S1.Q|МВт·ч|MWH|Teplovaia energiia|1234.5",
                                    "QRV2_000125.S1.W|МВт|MAW|Teplovaia moshchnost|0.75",
                                    "QRV2_000125.S1.t1|°C|CEL|Temperatura v podaiushchem truboprovode|70.5"}));
        // The running gateway has the shape now: the node alone goes again; a node of other items gets a shape of
        // its own.
        QCOMPARE(server.itemsMessages(node).size(), 1);
        const QList<QJsonObject> other = server.itemsMessages(m_node);
        QCOMPARE(other.size(), 2);
        QVERIFY(other[0].value("shape") != messages[0].value("shape"));
    }

    // Built in steps, with requests served between them: the same address space as built at once. Nodes whose first
    // data comes during the build, one the build has passed and one it has still to read, appear with their values.
    void addressSpaceInSteps()
    {
        QMap<int, double> nodes;   // node -> its t1
        QMap<int, QString> places;   // node -> its name and its group's
        for (const QString &place : {QStringLiteral("0 начало"), QStringLiteral("яя конец")}) {
            const int group = Groups::save(serverContext(), {{"name", place}}).valueOr(-1);
            const int node = newNode(200 + nodes.size(), {{"name", place}, {"group_id", group}});
            QVERIFY(group > 0 && node > 0);
            nodes.insert(node, 60.5 + nodes.size());
            places.insert(node, place);
        }
        OPCServer server(&testDatabase(), m_monitor.get());
        QSignalSpy built(&server, &OPCServer::addressSpaceBuilt);
        server.buildAddressSpaceInSteps(1);
        int served = 0;
        std::function<void()> request = [&]() {
            if (!server.isBuilding())
                return;
            if (++served == 1) {   // after the first step (the first node read, without data), before the last
                for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
                    ZeltoTable info({"id"}), current({"date", "S1_t1"});
                    info.appendRow(QVariantList{it.key()});
                    current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 6), QTime(9, 0)), it.value()});
                    ZeltoTableMap archives{{"info", info}, {"current_data", current}};
                    QCOMPARE(outcome(ArchiveStore::save(serverContext(), archives, false)), "ok");
                }
            }
            QTimer::singleShot(0, request);
        };
        QTimer::singleShot(0, request);
        QTRY_COMPARE(built.count(), 1);
        QVERIFY2(served >= 2, qPrintable(QString("requests served during the build: %1").arg(served)));
        OPCServer whole(&testDatabase(), m_monitor.get());
        whole.buildAddressSpace();
        QStringList names = server.items().keys(), wanted = whole.items().keys();
        names.sort();
        wanted.sort();
        QVERIFY(wanted.size() >= 4);
        QCOMPARE(names, wanted);
        for (auto it = nodes.constBegin(); it != nodes.constEnd(); ++it) {
            const QList<QJsonObject> messages = server.itemsMessages(it.key());
            QVERIFY2(!messages.isEmpty(), qPrintable(QString("node %1 has no items").arg(it.key())));
            const QJsonObject entry = messages.last().value("nodes").toArray().at(0).toObject();
            QCOMPARE(entry.value("values").toArray(), QJsonArray({it.value()}));
        }

        // Branches by group: each node's group name comes with the list the build goes through.
        QVERIFY(testDatabase().putSetting("useRussianInOPC", true).ok());
        QVERIFY(testDatabase().putSetting("opcNodeFormat", "%group_name/%node_name").ok());
        OPCServer grouped(&testDatabase(), m_monitor.get());
        grouped.buildAddressSpace();
        for (auto it = places.constBegin(); it != places.constEnd(); ++it) {
            const QList<QJsonObject> messages = grouped.itemsMessages(it.key());
            QVERIFY2(!messages.isEmpty(), qPrintable(QString("node %1 has no items").arg(it.key())));
            QCOMPARE(messages.last().value("nodes").toArray().at(0).toObject().value("branch").toString(),
                     it.value() + "\\" + it.value());
            // A branch with the separator in it, a leaf too: the name still finds its node's item.
            const OPCServer::Item item = grouped.items().value(
                it.value() + "\\" + it.value() + "\\Система отопления\\Температура в подающем трубопроводе");
            QCOMPARE(QPair(item.nodeId, item.column), QPair(it.key(), QString("S1_t1")));
        }
        // Every node on one branch: a name taken is told apart by its column, then by its node; none is lost.
        QVERIFY(testDatabase().putSetting("opcNodeFormat", "Все").ok());
        OPCServer same(&testDatabase(), m_monitor.get());
        same.buildAddressSpace();
        QCOMPARE(same.items().size(), wanted.size());
        const QString t1 = "Все\\Система отопления\\Температура в подающем трубопроводе";
        QVERIFY(same.items().contains(t1) && same.items().contains(t1 + " (S1_t1)"));
        const OPCServer::Item fourth = same.items().value(t1 + " (S1_t1) #" + QString::number(places.lastKey()));
        QCOMPARE(fourth.column, QString("S1_t1"));
        // Two parameters of one title on one node: the later in its row is told apart by its column.
        const int twins = newNode(300, {{"model_code", "XYZ"}, {"model_name", "Модель"}});
        ZeltoTable current({"date", "Tm", "Th"});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 2), QTime(0, 0)), 5, 6});
        QCOMPARE(outcome(testDatabase().write("nodes", twins, {{"current_data", QVariant::fromValue(current)}})), "ok");
        OPCServer withTwins(&testDatabase(), m_monitor.get());
        withTwins.buildAddressSpace();
        const QString worked = "Все\\Время наработки";
        QCOMPARE(QStringList({withTwins.items().value(worked).column, withTwins.items().value(worked + " (Th)").column}),
                 QStringList({"Tm", "Th"}));
        QCOMPARE(outcome(Nodes::remove(serverContext(), twins)), "ok");
        QVERIFY(testDatabase().putSetting("opcNodeFormat", OpcItemNames::defaultNodeFormat()).ok());
        QVERIFY(testDatabase().putSetting("useRussianInOPC", false).ok());
    }

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
        // A capital among capitals is all capitals, else its first letter only.
        QCOMPARE(Transliteration::toLatin("Объём щёлочи, ЖЭК №5; Щит ВЩ и Юг: Цех-Х"),
                 QString("Obieem shchelochi, ZHEK N5; Shchit VSHCH i Iug: Tsekh-Kh"));
    }

    void types_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("type");

        QTest::newRow("bool") << QVariant(true) << "Boolean";
        QTest::newRow("wider than 32 bits") << QVariant(qlonglong(1) << 40) << "";
        QTest::newRow("unsigned") << QVariant(4000000000u) << "UInt32";
        QTest::newRow("wide unsigned") << QVariant(qulonglong(1) << 33) << "";
        QTest::newRow("text") << QVariant("Норма") << "String";
        QTest::newRow("date-time") << QVariant(QDateTime(QDate(2024, 5, 2), QTime(1, 0))) << "DateTime";
        QTest::newRow("null int") << QVariant(QVariant::Int) << "";
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
            {QHostAddress("::1"), QVariant(), "::1", "[::1]", false},   // (127.0.0.1, with a name and without: test_opc)
            {QHostAddress("0.0.0.0"), QVariant(), "0.0.0.0", "scada1", false},
            {any, " 10.0.0.5 ", "", "10.0.0.5", false},
            {any, "FE80::1", "", "[fe80::1]", false},
            {any, "pc_01", "", "pc_01", false},
            {any, "", "", "scada1", false},
            {loopback, "bad host/name", "127.0.0.1", "127.0.0.1", true},
            {any, QString(64, 'a') + ".net", "", "scada1", true},
            {any, QString("a.").repeated(127) + "a", "", "scada1", true},   // 255 characters: 253 at most
            {any, "-lead.net", "", "scada1", true},
            {any, "::zz", "", "scada1", true},
            {any, 5, "", "scada1", true}};
        for (const auto &[listen, setting, host, hostName, passedOver] : cases) {
            const OpcEndpointAddress endpoint(listen, setting, "scada1");
            QCOMPARE(endpoint.host(), host);
            QCOMPARE(endpoint.hostName(), hostName);
            QVERIFY2(endpoint.problem().isEmpty() != passedOver,
                     qPrintable(setting.toString() + ": " + endpoint.problem()));
        }
    }

private:
    // A node of model QRV2 with this number and these fields.
    static int newNode(int number, const QVariantMap &fields = {})
    {
        QVariantMap node{{"model_code", "QRV2"}, {"model_name", "ТВ-2"}, {"number", number}};
        node.insert(fields);
        return Nodes::save(serverContext(), node).valueOr(-1);
    }

    ZeltoTestClock m_clock{QDateTime(QDate(2024, 5, 6), QTime(10, 0))};   // the data monitor's
    TempDatabaseHome m_home;
    std::unique_ptr<TaskManager> m_polling;
    std::unique_ptr<DataMonitor> m_monitor;
    int m_node = 0;
    int m_emptyNode = 0;
};

QTEST_GUILESS_MAIN(TestOpcServer)
#include "tst_opcserver.moc"
