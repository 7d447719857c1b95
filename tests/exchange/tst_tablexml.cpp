#include "tablexmlreader.h"
#include "tablexmlwriter.h"

#include <QtTest>

namespace {

const QVariant kOut = QVariant::fromValue(ZeltoOutOfRange());
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

} // namespace

class TestTableXml : public QObject
{
    Q_OBJECT

private slots:
    void parseText()
    {
        // Texts no written cell gives; the cells below read back the others.
        const QList<QPair<QString, QVariant>> texts{{"3000000000", 3000000000u}, {"5000000000", 5000000000.0},
                                                    {"true", true}, {"True", "True"}, {"2016-03-01", "2016-03-01"}};
        for (const auto &[text, expected] : texts)
            QCOMPARE(typed(TableXmlReader::parseText(text)), typed(expected));
    }

    void simpleCells_data()
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
        QTest::newRow("out of range") << kOut << "OutOfRange" << kOut;
        QTest::newRow("unused") << kUnused << "Unused" << kUnused;
        QTest::newRow("text with quotes") << QVariant("a \"b\" <c> & d\nе")
                                          << "a \"b\" <c> & d\nе" << QVariant("a \"b\" <c> & d\nе");
    }

    void simpleCells()
    {
        QFETCH(QVariant, cell);
        QFETCH(QVariant, back);
        QTEST(TableXmlWriter::textOf(cell), "text");
        QCOMPARE(typed(roundTrip(cell)), typed(back));
    }

    void cellsNotWritten()
    {
        // A table in a cell is left out; a short row has empty attributes for the rest.
        ZeltoTable inner;
        inner.appendRow(QVariantMap{{"x", 1}});
        ZeltoTable table({"a", "t", "b"});
        table.appendRow(QVariantList{1, QVariant::fromValue(inner)});
        TableXmlWriter writer;
        writer.writeTableDocument(table);
        QVERIFY2(writer.text().contains("<record a=\"1\" b=\"\"/>"), qPrintable(writer.text()));
    }

    void complexCells()
    {
        const QVariantMap inner{{"times", QVariantList{"18:00", 7}}, {"empty", QVariantList()},
                                {"names", QStringList{"101", QString()}}};
        const QVariantList listOfMaps{inner, QVariantMap(), QVariantList{QVariantList{1.5, true}}};
        QCOMPARE(roundTrip(listOfMaps), QVariant(listOfMaps));
        // Strings stay strings in a string list, even when they look like numbers.
        QCOMPARE(typed(roundTrip(QStringList{"101", "true"})), typed(QStringList{"101", "true"}));
    }

    void packageLayout()
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

    void brokenDocuments_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("message");
        const QString table = "<?xml version=\"1.0\"?><table><record a=\"1\"/></table>";
        QTest::newRow("table document") << table << "Не найден элемент <nodes>";
        QTest::newRow("not XML") << "nodes" << "Ошибка XML";
        QTest::newRow("text in nodes") << "<nodes>x</nodes>" << "Ошибка XML";
        QTest::newRow("other element") << "<nodes><nod/></nodes>" << "Не найден элемент <node>";
        QTest::newRow("record misnamed") << wrap("<info><row/></info>") << "Не найден элемент <record>";
        QTest::newRow("child without type") << inRecord("<x/>") << "Не найден атрибут type";
        QTest::newRow("unknown type") << inRecord("<x type=\"set\"/>") << "Ошибка XML";
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

    void brokenDocuments()
    {
        QFETCH(QString, document);
        TableXmlReader reader(document);
        QVERIFY(!reader.readNodesDocument());
        QTEST(reader.errorString(), "message");
        QVERIFY(reader.nodes().isEmpty());
    }

    void textXmlCannotHold()
    {
        // Control characters, half surrogate pairs and U+FFFF come back as U+FFFD.
        const QString text = QString("a") + QChar(1) + "b" + QChar(0xD800) + "c" + QChar(0xFFFF);
        const QString expected = "a\uFFFDb\uFFFDc\uFFFD";
        QCOMPARE(roundTrip(text).toString(), expected);
        QCOMPARE(roundTrip(QVariantList{text}).toList().value(0).toString(), expected);
        QCOMPARE(roundTrip("𝄞").toString(), QStringLiteral("𝄞"));
    }
};

QTEST_GUILESS_MAIN(TestTableXml)
#include "tst_tablexml.moc"
