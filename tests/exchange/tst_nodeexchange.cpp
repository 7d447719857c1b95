// The node exchange format: cells and documents of the table XML, broken documents;
// a node exported and imported again, older packages, refused packages, other users'
// nodes.

#include "archivestore.h"
#include "checkparams.h"
#include "groups.h"
#include "metadatacatalogue.h"
#include "nodeexport.h"
#include "nodeimport.h"
#include "nodes.h"
#include "tablexmlreader.h"
#include "tablexmlwriter.h"
#include "tasks.h"
#include "outcome.h"
#include "tempdatabasehome.h"
#include "users.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"

#include <QtTest>

namespace {

const QVariant kOut = QVariant::fromValue(ZeltoOutOfRange());
const QVariantMap kCom{{"code", "COM"}};
const QVariant kUnused = QVariant::fromValue(ZeltoUnused());

QString nodesDocument(const ZeltoTableMap &package)
{
    TableXmlWriter writer;
    writer.writeNodesDocument({QVariant::fromValue(package)});
    return writer.text();
}

ZeltoTableMap onlyPackage(const QString &document)
{
    TableXmlReader reader(document);
    return reader.readNodesDocument() && reader.nodes().size() == 1 ? reader.nodes().first().value<ZeltoTableMap>()
                                                                    : ZeltoTableMap();
}

// One cell through a whole document and back.
QVariant roundTrip(const QVariant &cell)
{
    ZeltoTable table;
    table.appendRow(QVariantMap{{"id", 1}, {"cell", cell}});
    return onlyPackage(nodesDocument({{"info", table}})).value("info").value(0, "cell");
}

// A value with its type, for comparisons that must not convert.
QPair<int, QVariant> typed(const QVariant &value) { return {value.userType(), value}; }

QString wrap(const QString &nodeContent) { return "<?xml version=\"1.0\"?><nodes><node>" + nodeContent + "</node></nodes>"; }

QString inRecord(const QString &children) { return wrap("<info><record>" + children + "</record></info>"); }

QDateTime at(int day, int hour) { return QDateTime(QDate(2024, 3, day), QTime(hour, 0), Qt::LocalTime); }

ZeltoTable table(const QStringList &columns, const QList<QVariantList> &rows)
{
    ZeltoTable result(columns);
    for (const QVariantList &row : rows)
        result.appendRow(row);
    return result;
}

// Rows in the tables an import writes to.
QList<int> counts(const QStringList &tables = {"nodes", "groups", "tasks", "journal"})
{
    QList<int> result;
    for (const QString &name : tables)
        result << testDatabase().rows("SELECT id FROM " + name).value().rowCount();
    return result;
}

ZeltoTable stored(int node, const QString &archive)
{
    return ArchiveStore::stored(testDatabase(), node, archive).valueOr(ZeltoTable({"failed"}));
}

} // namespace

class TestNodeExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The catalogue is read once per process: the repository's own files.
        ZeltoEnvironment::set("ORVEX_HOME", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
        QVERIFY(MetadataCatalogue::instance().models().contains("RNH7"));
    }

    // A node of model QRV5 in group "Котельная" with a task and an hourly archive, for every test but the table
    // XML's.
    void init()
    {
        if (QByteArray(QTest::currentTestFunction()).startsWith("xml"))
            return;
        m_home.reset(new TempDatabaseHome);
        QCOMPARE(outcome(m_home->open()), "ok");
        const int group = Groups::save(serverContext(), {{"name", "Котельная"}}).valueOr(-1);
        const QVariantMap node{{"model_code", "QRV5"}, {"number", 13}, {"group_id", group},
                               {"consumer", "ООО \"Тепло\""}};
        m_node = Nodes::save(serverContext(), node).valueOr(-1);
        QVERIFY(group >= 0 && Tasks::save(serverContext(), {{"node_id", m_node}, {"channel", kCom}}).ok());
        const QList<QVariantList> hours{{at(3, 0), 70.25, 1.5}, {at(3, 1), 71.0, kOut}, {at(3, 2), 96.5, 2.0}};
        ZeltoTableMap tables{{"info", table({"id"}, {{m_node}})}, {"hour_data", table({"date", "S1_t1", "S1_Q"}, hours)}};
        const ZeltoStatus saved = ArchiveStore::save(serverContext(), tables, false);
        QVERIFY2(saved.ok(), qPrintable(saved.message()));
    }

    void cleanup() { m_home.reset(); }

    void xmlSimpleCells_data()
    {
        QTest::addColumn<QVariant>("cell");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariant>("back");
        const QDateTime at(QDate(2024, 3, 1), QTime(10, 20, 30, 456), Qt::LocalTime);
        QTest::newRow("integral double") << QVariant(5.0) << "5" << QVariant(5);
        QTest::newRow("double") << QVariant(0.1 + 0.2) << "0.30000000000000004" << QVariant(0.1 + 0.2);
        QTest::newRow("milliseconds dropped") << QVariant(at) << "2024-03-01T10:20:30" << QVariant(at.addMSecs(-456));
        QTest::newRow("64-bit") << QVariant(qlonglong(1) << 40) << "?" << QVariant();
        QTest::newRow("null int") << QVariant(QVariant::Int) << "" << QVariant();
        QTest::newRow("bool") << QVariant(false) << "false" << QVariant(false);
        QTest::newRow("unused") << kUnused << "Unused" << kUnused;
        QTest::newRow("text with quotes") << QVariant("a \"b\" <c> & d\nе")
                                          << "a \"b\" <c> & d\nе" << QVariant("a \"b\" <c> & d\nе");
    }

    void xmlSimpleCells()
    {
        QFETCH(QVariant, cell);
        QFETCH(QVariant, back);
        QTEST(TableXmlWriter::textOf(cell), "text");
        QCOMPARE(typed(roundTrip(cell)), typed(back));
    }

    void xmlCells()
    {
        // A table in a cell is left out; a short row has empty attributes for the rest.
        ZeltoTable inner;
        inner.appendRow(QVariantMap{{"x", 1}});
        ZeltoTable table({"a", "t", "b"});
        table.appendRow(QVariantList{1, QVariant::fromValue(inner)});
        TableXmlWriter writer;
        writer.writeTableDocument(table);
        QVERIFY2(writer.text().contains("<record a=\"1\" b=\"\"/>"), qPrintable(writer.text()));

        const QVariantMap complex{{"times", QVariantList{"18:00", 7}}, {"empty", QVariantList()},
                                  {"names", QStringList{"101", QString()}}};
        const QVariantList listOfMaps{complex, QVariantMap(), QVariantList{QVariantList{1.5, true}}};
        QCOMPARE(roundTrip(listOfMaps), QVariant(listOfMaps));
        // Strings stay strings in a string list, even when they look like numbers.
        QCOMPARE(typed(roundTrip(QStringList{"101", "true"})), typed(QStringList{"101", "true"}));

        // Control characters, half surrogate pairs and U+FFFF come back as U+FFFD.
        const QString text = QString("a") + QChar(1) + "b" + QChar(0xD800) + "c" + QChar(0xFFFF);
        const QString expected = "a\uFFFDb\uFFFDc\uFFFD";
        QCOMPARE(roundTrip(text).toString(), expected);
        QCOMPARE(roundTrip(QVariantList{text}).toList().value(0).toString(), expected);
        QCOMPARE(roundTrip("𝄞").toString(), QStringLiteral("𝄞"));

        // Texts no written cell gives (xmlSimpleCells reads back the others).
        const QList<QPair<QString, QVariant>> texts{{"3000000000", 3000000000u}, {"5000000000", 5000000000.0},
                                                    {"true", true}, {"True", "True"}, {"2016-03-01", "2016-03-01"}};
        for (const auto &[cellText, value] : texts)
            QCOMPARE(typed(TableXmlReader::parseText(cellText)), typed(value));
    }

    void xmlPackageLayout()
    {
        // The example of the format.
        ZeltoTable info;
        info.appendRow(QVariantMap{{"id", 12}, {"name", "Узел"}, {"phones", QStringList{"101"}}, {"value", kOut}});
        const QString text = nodesDocument({{"info", info}, {"empty", ZeltoTable()}});
        QCOMPARE(text, QStringLiteral("<?xml version=\"1.0\"?>\n<nodes>\n    <node>\n        <empty/>\n        <info>\n"
                                      "            <record id=\"12\" name=\"Узел\" value=\"OutOfRange\">\n"
                                      "                <phones type=\"strings\">\n                    <item>101</item>\n"
                                      "                </phones>\n            </record>\n        </info>\n    </node>\n"
                                      "</nodes>\n"));
        // The table without rows is written, and dropped on reading.
        const ZeltoTableMap back = onlyPackage(text);
        QCOMPARE(back.keys(), QStringList{"info"});
        QCOMPARE(back.value("info").value(0, "phones"), QVariant(QStringList{"101"}));
    }

    void xmlBrokenDocuments_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("message");
        const QString table = "<?xml version=\"1.0\"?><table><record a=\"1\"/></table>";
        QTest::newRow("table document") << table << "Не найден элемент <nodes>";
        QTest::newRow("text in nodes") << "<nodes>x</nodes>" << "Ошибка XML";
        QTest::newRow("other element") << "<nodes><nod/></nodes>" << "Не найден элемент <node>";
        QTest::newRow("record misnamed") << wrap("<info><row/></info>") << "Не найден элемент <record>";
        QTest::newRow("child without type") << inRecord("<x/>") << "Не найден атрибут type";
        QTest::newRow("list item misnamed") << inRecord("<x type=\"list\"><i/></x>") << "Не найден элемент <item>";
        QTest::newRow("list text") << inRecord("<x type=\"list\">t</x>") << "Ошибка XML 1";
        QTest::newRow("strings text") << inRecord("<x type=\"strings\">t</x>") << "Ошибка XML 2";
        QTest::newRow("map text") << inRecord("<x type=\"map\">t</x>") << "Ошибка XML 3";
        QTest::newRow("map unknown type") << inRecord("<x type=\"map\"><k type=\"bag\"/></x>") << "Ошибка XML 3";
        QTest::newRow("truncated") << wrap("<info><record a=\"1\"/></info>").left(50) << "Ошибка XML";
        QTest::newRow("document type") << "<?xml version=\"1.0\"?><!DOCTYPE nodes [<!ENTITY a \"aaaa\">"
                                          "<!ENTITY b \"&a;&a;&a;&a;\">]><nodes><node><info><record x=\"&b;\"/>"
                                          "</info></node></nodes>" << "Ошибка XML";
        // Well-formed, only too deep.
        const QString deep = QStringLiteral("<item type=\"list\">").repeated(40) + QStringLiteral("</item>").repeated(40);
        QTest::newRow("nested too deep") << inRecord("<x type=\"list\">" + deep + "</x>") << "Ошибка XML 1";
        // Elements where text belongs, nested deep enough to exhaust the stack if read one by one.
        const QString nested = QStringLiteral("<b>").repeated(100000) + QStringLiteral("</b>").repeated(100000);
        QTest::newRow("list item with elements") << inRecord("<x type=\"list\"><item>" + nested + "</item></x>")
                                                 << "Ошибка XML 1";
        QTest::newRow("strings item with elements") << inRecord("<x type=\"strings\"><item>" + nested + "</item></x>")
                                                    << "Ошибка XML 2";
        QTest::newRow("map entry with elements") << inRecord("<x type=\"map\"><k>" + nested + "</k></x>")
                                                 << "Ошибка XML 3";
    }

    void xmlBrokenDocuments()
    {
        QFETCH(QString, document);
        TableXmlReader reader(document);
        QVERIFY(!reader.readNodesDocument());
        QTEST(reader.errorString(), "message");
        QVERIFY(reader.nodes().isEmpty());
    }

    // A second import of a node merges its archives; task rows never take over this server's tasks.
    void importsOnAServerThatHasTheNode()
    {
        ZeltoTableMap package = NodeExport::exportNode(serverContext(), m_node).value();
        // The same hour with a new value, and a new hour.
        package.insert("hour_data", table({"date", "S1_t1"}, {{at(3, 1), 60.0}, {at(3, 5), 61.0}}));
        package["info"].setValue(0, "consumer", "другой");
        const QList<int> before = counts({"nodes", "groups", "tasks"});

        QCOMPARE(NodeImport::importNode(serverContext(), QVariant::fromValue(package)).value(), m_node);
        QCOMPARE(counts({"nodes", "groups", "tasks"}), before);
        // A known node keeps its row.
        QCOMPARE(testDatabase().record("nodes", m_node).value().value("consumer").toString(),
                 QStringLiteral("ООО \"Тепло\""));
        QCOMPARE(stored(m_node, "hour_data"), table({"date", "S1_t1", "S1_Q"}, {{at(3, 0), 70.25, 1.5}, {at(3, 1), 60.0, kOut},
                                                                             {at(3, 2), 96.5, 2.0}, {at(3, 5), 61.0}}));

        // Task rows never take over a task of this server; a group without a name is the common group; the last
        // run's error of another server is kept as long as this one keeps errors.
        const int taken = testDatabase().findId("tasks", "node_id = ?", {m_node}).valueOr(-1);
        const QVariantMap takenData = Tasks::data(serverContext(), taken).valueOr(QVariantMap());
        const QList<int> rows = counts({"groups", "tasks"});
        ZeltoTableMap withTasks{{"info", table({"model_code", "number"}, {{"QRV5", 16}})},
                              {"group", table({"name"}, {{QVariant()}})},
                              {"tasks", table({"id", "channel", "last_error"},
                                              {{taken, QVariantMap{{"code", "TCP"}}, QString(5000, 'x')}})}};
        const ZeltoResult<int> made = NodeImport::importNode(serverContext(), QVariant::fromValue(withTasks));
        QVERIFY2(made.ok(), qPrintable(outcome(made)));
        const int madeId = made.value();
        QCOMPARE(Tasks::find(serverContext(), taken).valueOr(QVariantMap()).value("node_id").toInt(), m_node);
        QCOMPARE(Tasks::data(serverContext(), taken).valueOr(QVariantMap()), takenData);
        // A new task, the taken one still on its node.
        const int added = testDatabase().findId("tasks", "node_id = ?", {madeId}).valueOr(-1);
        QCOMPARE(Tasks::find(serverContext(), added).valueOr(QVariantMap()).value("last_error"), QString(4000, 'x'));
        QCOMPARE(counts({"groups", "tasks"}), QList<int>({rows.at(0), rows.at(1) + 1}));
        QCOMPARE(testDatabase().record("nodes", madeId).value().value("group_id").toInt(), 0);
    }

    void convertsOlderPackages()
    {
        const QVariantMap channel{{"code", "TCP"}, {"hostName", "meter.local"}, {"linkAdapter", "ETH485"},
                                  {"linkPort", 4001}, {"linkBaudRate", "9600"}};
        const QVariantMap schedule{{"type", "daily"}, {"dayMask", 3}, {"times", QVariantList{"2016-01-01T18:30:00"}}};
        ZeltoTableMap package;
        package["info"].appendRow(QVariantMap{{"model", "RNH7"}, {"number", 42}, {"modelName", QString()},
                                             {"channel", channel}, {"schedule", schedule},
                                             {"readParams", QVariantMap{{"data", QStringList{"hourData"}}}}});
        package.insert("group", table({"name"}, {{"Старая"}}));
        package["params"].appendRow(QVariantMap{{"checkParams", QVariantMap{{"script", "  "}, {"checkErrors", true}}}});
        package.insert("currentData", table({"date", "S1_t1"}, {{at(4, 1), 50.0}}));
        package.insert("dayData", table({"date", "Qdim"}, {{at(4, 0), 2}}));
        package.insert("monthData", ZeltoTable({"date"}));
        package.insert("journalData", table({"date", "param", "oldValue", "newValue"}, {{at(4, 2), "Qdim", 1, 2}}));
        package.insert("settings", table({"name"}, {{"x"}}));

        const ZeltoResult<int> imported = NodeImport::importNode(serverContext(), QVariant::fromValue(package));
        QVERIFY2(imported.ok(), qPrintable(outcome(imported)));
        const int id = imported.value();
        const QVariantMap node = testDatabase().record("nodes", id).value();   // named from the catalogue
        QCOMPARE(QVariantList({node["model_name"], node["name"]}), QVariantList({"РН-7", "РН-7 №0000000042"}));
        QCOMPARE(CheckParams::load(serverContext(), id).value(), QVariantMap({{"checkErrors", true}}));

        const int task = testDatabase().findId("tasks", "node_id = ?", {id}).valueOr(-1);
        const QVariantMap form = Tasks::data(serverContext(), task).valueOr(QVariantMap());
        const QVariantMap adapter{{"code", "ETH485"}, {"port", "4001"}, {"baudRate", 9600u}};
        QCOMPARE(form.value("channel").toMap(),
                 QVariantMap({{"code", "TCP"}, {"hostName", "meter.local"}, {"adapter", adapter}}));
        QCOMPARE(form.value("archives").toStringList(), QStringList({"hourData", "settings", "journalData"}));   // an RNH meter
        QCOMPARE(form.value("timetable").toMap(),
                 QVariantMap({{"mode", "daily"}, {"dayMask", 3}, {"times", QVariantList{"18:30:00"}}}));

        const ZeltoTable journal = ArchiveStore::journalData(serverContext(), id, QDateTime(), QDateTime()).value();
        QCOMPARE(QVariantList({stored(id, "current_data").value(0, "S1_t1"), stored(id, "day_data").value(0, "Pdim"),
                               journal.rowCount(), journal.value(0, "ctime"), journal.value(0, "new_value").toInt(),
                               ArchiveStore::settingData(serverContext(), id).value().rowCount()}), QVariantList({50.0, 2, 1, at(4, 2), 2, 0}));
    }

    void refusesBadPackages_data()
    {
        QTest::addColumn<QVariant>("package");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("early");   // refused before anything is written: not even a change announced
        auto withInfo = [](const QVariantList &values, ZeltoTableMap package = {}) {
            package.insert("info", table({"model_code", "number"}, {values}));
            package.insert("group", table({"name"}, {{"Новая"}}));
            return QVariant::fromValue(package);
        };
        const auto row = [](const char *name, const QVariant &package, const QString &message, bool early = true) {
            QTest::newRow(name) << package << message << early;
        };
        const QVariantList good{"QRV5", 500};
        row("not tables", "пакет", "ожидается набор таблиц");
        row("map of non-tables", QVariantMap{{"info", 1}}, "info не является таблицей");
        row("no info", QVariant::fromValue(ZeltoTableMap()), "нет таблицы info");
        // (An unknown model: test_xmlrpc test_nodes_move_between_servers, where the node is left out and journalled.)
        row("number not a number", withInfo({"QRV5", "abc"}), "Неверный номер прибора: abc");
        row("time of day in an archive",
            withInfo(good, {{"day_data", table({"date", "S1_t1"}, {{at(1, 0), 1}, {at(2, 0), QTime(1, 0)}})}}),
            "архиве day_data, строка 2, столбец S1_t1");
        // The node of every test: a package is refused whole even where a known node would not take its fields.
        const auto oversized = [](const char *key, const QVariant &value, const QString &group) {
            ZeltoTableMap package{{"group", table({"name"}, {{group}})}};
            package["info"].appendRow(QVariantMap{{"model_code", "QRV5"}, {"number", 13}, {key, value}});
            return QVariant::fromValue(package);
        };
        row("name too long", oversized("name", QString(256, 'x'), "Новая"),
            "Слишком длинное значение поля name: не более 255 символов");
        row("group name too long", oversized("note", "", QString(256, 'x')), "поля name: не более 255");
        row("check script too long", oversized("check_params", QVariantMap{{"script", QString(70000, 'x')}}, "Новая"),
            "Слишком большое значение поля check_params: не более 65536 байт");
        row("archive row without a date", withInfo(good, {{"day_data", table({"date", "S1_t1"}, {{QVariant(), 1}})}}),
            "day_data", false);
        row("task without a channel code",
            withInfo(good, {{"tasks", table({"channel"}, {{QVariantMap{{"port", "COM1"}}}})}}), "channel_code", false);
        row("task of the wrong kind", withInfo(good, {{"tasks", table({"timetable"}, {{"ежедневно"}})}}), "timetable",
            false);
    }

    void refusesBadPackages()
    {
        QFETCH(QVariant, package);
        QFETCH(QString, message);
        QFETCH(bool, early);
        const QList<int> before = counts();
        QSignalSpy notes(ZeltoSystem::instance(), &ZeltoSystem::notification);
        const QString refusal = outcome(NodeImport::importNode(serverContext(), package));
        QVERIFY2(refusal.contains(message), qPrintable(refusal));
        QCOMPARE(counts(), before);
        if (early)
            QCOMPARE(notes.count(), 0);
    }

    void keepsOutOfOtherUsersNodes()
    {
        const QVariant package = QVariant::fromValue(NodeExport::exportNode(serverContext(), m_node).value());
        const QVariantMap operatorRecord{{"login", "оператор"}, {"password", "п"}, {"groups", QVariantList{0}}};
        const int userId = Users::save(&testDatabase(), operatorRecord).valueOr(-1);
        QVERIFY(userId > 0);
        const CommandContext user(&testDatabase(), userId, QStringList());

        // Outside the user's groups: as if not there, with the refusal's text.
        const QString refused = QStringLiteral("notFound: Недостаточно прав для выполнения команды");
        QCOMPARE(outcome(NodeExport::exportNode(user, m_node)), refused);
        QCOMPARE(outcome(NodeExport::exportNode(user, m_node + 100)), "notFound: Узел не найден");
        const ZeltoTable hours = stored(m_node, "hour_data");
        const QList<int> journal = counts({"journal"});
        QCOMPARE(outcome(NodeImport::importNode(user, package)), refused);
        QCOMPARE(stored(m_node, "hour_data"), hours);
        QCOMPARE(counts({"journal"}), journal);
    }

private:
    QScopedPointer<TempDatabaseHome> m_home;
    int m_node = -1;
};

QTEST_GUILESS_MAIN(TestNodeExchange)
#include "tst_nodeexchange.moc"
