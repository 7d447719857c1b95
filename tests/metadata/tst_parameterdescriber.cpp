#include "metadatacatalogue.h"
#include "parameterdescriber.h"

#include <QtTest>

namespace {

QVariantMap find(const QVariantMap &description, const QString &code)
{
    for (const QVariant &param : description.value("params").toList())
        if (param.toMap().value("code") == code)
            return param.toMap();
    return QVariantMap();
}

} // namespace

class TestParameterDescriber : public QObject
{
    Q_OBJECT

private slots:
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

        // Null cells are skipped; parameters come in the catalogue's order, systems with their counts.
        const QVariantMap result = describe({"S2_t1", "S1_t1", "S1_t2", "S2_t2", "Tm", "S1_M1"},
                                            {70.5, 71.0, QVariant(), 40.0, "12:30", QVariant()});
        QStringList codes;
        for (const QVariant &param : result.value("params").toList())
            codes.append(param.toMap().value("code").toString());
        QCOMPARE(codes, (QStringList{"Tm", "S1_t1", "S2_t1", "S2_t2"}));   // in the catalogue's order, not the columns'
        QCOMPARE(result.value("systems").toList(),
                 (QVariantList{QVariantMap{{"code", 0}, {"name", "Общие параметры"}, {"size", 1}},
                               QVariantMap{{"code", 1}, {"name", "Отопление"}, {"size", 1}},
                               QVariantMap{{"code", 2}, {"name", "Горячее водоснабжение"}, {"size", 2}}}));
        const QVariantMap empty = describe({}, {});
        QVERIFY(empty.value("params").toList().isEmpty() && empty.value("systems").toList().isEmpty());
    }

    void picksUnitsFromSelectors_data()
    {
        QTest::addColumn<QStringList>("columns");
        QTest::addColumn<QVariantList>("values");
        QTest::addColumn<QVariant>("unit");   // of the last column; invalid: none
        const QStringList qdim{"Qdim", "S1_Q"}, pdim{"Pdim", "S1_P2"};
        QTest::newRow("Qdim") << qdim << QVariantList{1, 12.5} << QVariant("ГДж");
        QTest::newRow("Qdim for power") << QStringList{"Qdim", "S2_W"} << QVariantList{2, 1.5} << QVariant("МВт");
        QTest::newRow("system's own") << QStringList{"S1_Qdim", "S1_Q"} << QVariantList{0, 12.5} << QVariant("Гкал");
        QTest::newRow("common first") << QStringList{"Qdim", "S1_Qdim", "S1_Q"} << QVariantList{1, 0, 3.0} << QVariant("ГДж");
        QTest::newRow("Qdim for energy") << qdim << QVariantList{2, 12.5} << QVariant("МВт·ч");
        QTest::newRow("no selector") << QStringList{"S1_Q"} << QVariantList{12.5} << QVariant("Гкал");
        QTest::newRow("no selector, power") << QStringList{"S1_W"} << QVariantList{1.5} << QVariant("Гкал/ч");
        QTest::newRow("outside the list") << qdim << QVariantList{3, 12.5} << QVariant();
        QTest::newRow("fraction") << qdim << QVariantList{0.5, 12.5} << QVariant();
        QTest::newRow("text") << qdim << QVariantList{"ГДж", 12.5} << QVariant();
        QTest::newRow("Pdim") << pdim << QVariantList{1, 6.2} << QVariant("МПа");
        QTest::newRow("Pdim as text") << pdim << QVariantList{"2", 6.2} << QVariant("bar");
        // A Pdim column without a value still says the unit is not known.
        QTest::newRow("Pdim null") << pdim << QVariantList{QVariant(), 6.2} << QVariant();
    }

    void picksUnitsFromSelectors()
    {
        QFETCH(QStringList, columns);
        QFETCH(QVariantList, values);
        QTEST(find(describe(columns, values), columns.last()).value("unit"), "unit");
    }

    // A title that ends in its unit shows it twice where the unit follows ("Время наработки, ч, ч").
    void titlesLeaveTheUnitOut()
    {
        const QStringList codes = m_catalogue.paramCodes();
        QStringList found;
        for (const QString &model : m_catalogue.models() + QStringList{QString()}) {
            const QVariantMap description = ParameterDescriber(m_catalogue).describe(
                model, codes, QVector<QVariant>(codes.size(), 1).toList()).value();
            for (const QVariant &item : description.value("params").toList()) {
                const QVariantMap param = item.toMap();
                const QString unit = param.value("unit").toString();
                if (!unit.isEmpty() && param.value("name").toString().endsWith(unit))
                    found << model + " " + param.value("code").toString() + ": " + param.value("name").toString();
            }
        }
        QCOMPARE(found.join("; "), QString());
    }

private:
    QVariantMap describe(const QStringList &columns, const QVariantList &values) const
    {
        return ParameterDescriber(m_catalogue).describe("QRV3", columns, values).value();
    }

    const MetadataCatalogue m_catalogue{QStringLiteral(ORVEX_METADATA_DIR)};
};

QTEST_GUILESS_MAIN(TestParameterDescriber)
#include "tst_parameterdescriber.moc"
