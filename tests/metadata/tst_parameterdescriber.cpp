// Descriptions of a row of a model's values, over the shipped metadata.

#include "metadatacatalogue.h"
#include "parameterdescriber.h"

#include <QtTest>

namespace {

const QString kModel = QStringLiteral("QRV3");

QVariantMap find(const QVariantList &params, const QString &code)
{
    for (const QVariant &param : params)
        if (param.toMap().value(QStringLiteral("code")) == code)
            return param.toMap();
    return QVariantMap();
}

} // namespace

class TestParameterDescriber : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void describesKindsUnitsAndPrecision();
    void picksUnitsFromSelectors();
    void skipsNullsAndCountsSystems();

private:
    QVariantMap describe(const QStringList &columns, const QVariantList &values) const
    {
        return ParameterDescriber(*m_catalogue).describe(kModel, columns, values);
    }

    MetadataCatalogue *m_catalogue = nullptr;
};

void TestParameterDescriber::initTestCase()
{
    m_catalogue = new MetadataCatalogue(QStringLiteral(ORVEX_METADATA_DIR));
    QCOMPARE(m_catalogue->loadError(), QString());
}

void TestParameterDescriber::cleanupTestCase()
{
    delete m_catalogue;
}

void TestParameterDescriber::describesKindsUnitsAndPrecision()
{
    // code, type, unit, precision (0: none)
    const struct {
        const char *code, *type, *unit;
        int precision;
    } expected[] = {{"S1_t1", "t", "°C", 2},    {"S1_P1", "P", "кгс/см2", 3}, {"S1_M1", "M", "т", 3},
                    {"S1_G2", "G", "т", 3},      {"S1_V1", "V", "м3", 3},      {"S1_gm1", "g", "т/ч", 3},
                    {"S1_qv1", "v", "м3/ч", 3},  {"Tm", "Tm", "чч:мм", 0},     {"Th", "Th", "ч", 0},
                    {"Ee", "E", "кВт/ч", 3},     {"Pe", "Pe", "кВт", 3},       {"DT", "Value", "", 0},
                    {"S2_NS", "Flags", "", 0},   {"ERR", "Value", "", 0},      {"S1_scheme", "Enum", "", 0},
                    {"DB", "List", "", 0}};
    QStringList columns{QStringLiteral("date"), QStringLiteral("unknown")};
    for (const auto &e : expected)
        columns.append(QLatin1String(e.code));
    QVariantList values;
    for (int i = 0; i < columns.size(); ++i)
        values.append(1);
    const QVariantList params = describe(columns, values).value(QStringLiteral("params")).toList();
    QCOMPARE(params.size(), columns.size() - 2);   // date and unknown are not parameters
    for (const auto &e : expected) {
        const QVariantMap param = find(params, QLatin1String(e.code));
        QCOMPARE(param.value(QStringLiteral("type")).toString(), QLatin1String(e.type));
        QCOMPARE(param.value(QStringLiteral("unit")).toString(), QString::fromUtf8(e.unit));
        QCOMPARE(param.contains(QStringLiteral("unit")), *e.unit != 0);
        QCOMPARE(param.value(QStringLiteral("precision"), 0).toInt(), e.precision);
        // Only error parameters of the plain kinds say so; only enumerable kinds list items.
        const bool plain = QByteArrayList{"Value", "Flags", "List", "Enum"}.contains(e.type);
        QCOMPARE(param.value(QStringLiteral("isError")).toBool(), m_catalogue->isErrorParam(QLatin1String(e.code)) && plain);
        QCOMPARE(param.contains(QStringLiteral("enum")), plain && QByteArray(e.type) != "Value");
    }
    const QVariantMap t1 = find(params, QStringLiteral("S1_t1"));
    QCOMPARE(t1.value(QStringLiteral("name")).toString(), QStringLiteral("Температура в подающем трубопроводе"));
    QCOMPARE(t1.value(QStringLiteral("system")).toInt(), 1);
    QCOMPARE(find(params, QStringLiteral("S2_NS")).value(QStringLiteral("name")).toString(),
             QStringLiteral("НС системы"));   // the model's own title
}

void TestParameterDescriber::picksUnitsFromSelectors()
{
    const auto unitOf = [this](const QStringList &columns, const QVariantList &values, const QString &code) {
        return find(describe(columns, values).value(QStringLiteral("params")).toList(), code).value(QStringLiteral("unit"));
    };
    const QString q = QStringLiteral("S1_Q");
    const QString w = QStringLiteral("S2_W");
    QCOMPARE(unitOf({QStringLiteral("Qdim"), q}, {1, 12.5}, q).toString(), QStringLiteral("ГДж"));
    QCOMPARE(unitOf({QStringLiteral("Qdim"), w}, {2, 1.5}, w).toString(), QStringLiteral("MWh/ч"));
    QCOMPARE(unitOf({q, QStringLiteral("S1_Qdim")}, {12.5, 0}, q).toString(), QStringLiteral("Гкал"));
    QCOMPARE(unitOf({QStringLiteral("Qdim"), QStringLiteral("S1_Qdim"), q}, {1, 0, 3.0}, q).toString(),
             QStringLiteral("ГДж"));
    // No selector, or one outside the list: no unit.
    QVERIFY(!unitOf({q}, {12.5}, q).isValid());
    QVERIFY(!unitOf({QStringLiteral("Qdim"), q}, {3, 12.5}, q).isValid());
    QVERIFY(!unitOf({QStringLiteral("Qdim"), q}, {0.5, 12.5}, q).isValid());
    QVERIFY(!unitOf({QStringLiteral("Qdim"), q}, {QStringLiteral("ГДж"), 12.5}, q).isValid());

    const QString p = QStringLiteral("S1_P2");
    QCOMPARE(unitOf({QStringLiteral("Pdim"), p}, {1, 6.2}, p).toString(), QStringLiteral("МПа"));
    QCOMPARE(unitOf({QStringLiteral("Pdim"), p}, {QStringLiteral("2"), 6.2}, p).toString(), QStringLiteral("bar"));
    QVERIFY(!unitOf({QStringLiteral("Pdim"), p}, {-1, 6.2}, p).isValid());
    // A Pdim column without a value still says the unit is not known.
    QVERIFY(!unitOf({QStringLiteral("Pdim"), p}, {QVariant(), 6.2}, p).isValid());
}

void TestParameterDescriber::skipsNullsAndCountsSystems()
{
    const QVariantMap result =
        describe({QStringLiteral("S2_t1"), QStringLiteral("S1_t1"), QStringLiteral("S1_t2"), QStringLiteral("S2_t2"),
                  QStringLiteral("Tm"), QStringLiteral("S1_M1")},
                 {70.5, 71.0, QVariant(), 40.0, QStringLiteral("12:30"), QVariant()});
    QStringList codes;
    for (const QVariant &param : result.value(QStringLiteral("params")).toList())
        codes.append(param.toMap().value(QStringLiteral("code")).toString());
    // In the catalogue's order, not the columns'.
    QCOMPARE(codes, QStringList({QStringLiteral("Tm"), QStringLiteral("S1_t1"), QStringLiteral("S2_t1"),
                                 QStringLiteral("S2_t2")}));
    const QVariantList systems = result.value(QStringLiteral("systems")).toList();
    QCOMPARE(systems.size(), 3);
    const QVariantList expected{
        QVariantMap{{QStringLiteral("code"), 0}, {QStringLiteral("name"), QStringLiteral("Общие параметры")},
                    {QStringLiteral("size"), 1}},
        QVariantMap{{QStringLiteral("code"), 1}, {QStringLiteral("name"), QStringLiteral("Отопление")},
                    {QStringLiteral("size"), 1}},
        QVariantMap{{QStringLiteral("code"), 2}, {QStringLiteral("name"), QStringLiteral("Горячее водоснабжение")},
                    {QStringLiteral("size"), 2}}};
    QCOMPARE(systems, expected);

    const QVariantMap empty = describe({}, {});
    QCOMPARE(empty.value(QStringLiteral("params")).toList().size(), 0);
    QCOMPARE(empty.value(QStringLiteral("systems")).toList().size(), 0);
}

QTEST_GUILESS_MAIN(TestParameterDescriber)
#include "tst_parameterdescriber.moc"
