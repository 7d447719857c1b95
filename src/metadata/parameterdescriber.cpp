#include "parameterdescriber.h"

#include "metadatacatalogue.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QHash>
#include <QMap>

#include <cmath>

namespace {

const int kUnitCount = 3;

} // namespace

QString ParameterDescriber::heatUnit(int index)
{
    switch (index) {
    case 0:
        return QCoreApplication::translate("ParameterDescriber", "Гкал");
    case 1:
        return QCoreApplication::translate("ParameterDescriber", "ГДж");
    case 2:
        return QCoreApplication::translate("ParameterDescriber", "МВт·ч");
    default:
        return QString();
    }
}

QString ParameterDescriber::heatPowerUnit(int index)
{
    switch (index) {
    case 0:
        return QCoreApplication::translate("ParameterDescriber", "Гкал/ч");
    case 1:
        return QCoreApplication::translate("ParameterDescriber", "ГДж/ч");
    case 2:
        return QCoreApplication::translate("ParameterDescriber", "МВт");
    default:
        return QString();
    }
}

QString ParameterDescriber::pressureUnit(int index)
{
    switch (index) {
    case 0:
        return QCoreApplication::translate("ParameterDescriber", "кгс/см2");
    case 1:
        return QCoreApplication::translate("ParameterDescriber", "МПа");
    case 2:
        return QCoreApplication::translate("ParameterDescriber", "bar");
    default:
        return QString();
    }
}

ZeltoResult<QVariantMap> ParameterDescriber::describe(const QString &modelCode, const QStringList &columns,
                                                      const QVariantList &values) const
{
    if (columns.size() != values.size())
        return ZeltoStatus::invalid(QCoreApplication::translate(
            "ParameterDescriber", "Количество колонок не соответствует количеству значений"));
    // A column named twice counts with its first value.
    QVariantMap row;
    for (int i = 0; i < columns.size(); ++i)
        if (!row.contains(columns.at(i)))
            row.insert(columns.at(i), values.at(i));

    QVariantList params;
    QMap<int, int> systemSizes;
    const QStringList codes = m_catalogue.paramCodes();
    for (const QString &code : codes) {
        const auto value = row.constFind(code);
        if (value == row.constEnd() || value->isNull())
            continue;
        const int system = MetadataCatalogue::systemIndex(code);
        ++systemSizes[system];
        params.append(describeParam(code, modelCode, row));
    }
    QVariantList systems;
    for (auto size = systemSizes.constBegin(); size != systemSizes.constEnd(); ++size)
        systems.append(QVariantMap{{QStringLiteral("code"), size.key()},
                                   {QStringLiteral("name"), m_catalogue.systemTitle(size.key(), modelCode)},
                                   {QStringLiteral("size"), size.value()}});
    return QVariantMap{{QStringLiteral("params"), params}, {QStringLiteral("systems"), systems}};
}

QVariantMap ParameterDescriber::describeParam(const QString &code, const QString &modelCode, const QVariantMap &row) const
{
    const int type = m_catalogue.paramType(code);
    QVariantMap param{{QStringLiteral("code"), code},
                      {QStringLiteral("name"), m_catalogue.paramTitle(code, modelCode)},
                      {QStringLiteral("system"), MetadataCatalogue::systemIndex(code)},
                      {QStringLiteral("type"), MetadataCatalogue::typeName(type)}};
    switch (type) {
    case MetadataCatalogue::t:
        param.insert(QStringLiteral("precision"), 2);
        break;
    case MetadataCatalogue::Q:
    case MetadataCatalogue::G:
    case MetadataCatalogue::M:
    case MetadataCatalogue::V:
    case MetadataCatalogue::P:
    case MetadataCatalogue::W:
    case MetadataCatalogue::g:
    case MetadataCatalogue::v:
    case MetadataCatalogue::E:
    case MetadataCatalogue::Pe:
        param.insert(QStringLiteral("precision"), 3);
        break;
    default:
        break;
    }
    const QString unitText = unit(type, row);
    if (!unitText.isEmpty())
        param.insert(QStringLiteral("unit"), unitText);
    if (type >= MetadataCatalogue::Value && type <= MetadataCatalogue::Enum && m_catalogue.isErrorParam(code))
        param.insert(QStringLiteral("isError"), true);
    if (type >= MetadataCatalogue::Flags && type <= MetadataCatalogue::Enum) {
        QVariantList items;
        for (const MetadataCatalogue::EnumItem &item : m_catalogue.paramEnum(code, modelCode))
            items.append(QVariant(QVariantList{item.first, item.second}));
        param.insert(QStringLiteral("enum"), items);
    }
    return param;
}

QString ParameterDescriber::unitOf(const QString &code, const QVariantMap &row) const
{
    return unit(m_catalogue.paramType(code), row);
}

int ParameterDescriber::unitIndex(const QVariant &value)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !std::isfinite(number) || number != std::floor(number) || number < 0 || number >= kUnitCount)
        return -1;
    return int(number);
}

QString ParameterDescriber::unit(int type, const QVariantMap &row)
{
    const QString qdim = QStringLiteral("Qdim");
    const QString s1Qdim = QStringLiteral("S1_Qdim");
    const QString pdim = QStringLiteral("Pdim");
    switch (type) {
    case MetadataCatalogue::Q:
    case MetadataCatalogue::W: {
        // A selector column that is present but null or out of range gives
        // no unit; without one the device counts in gigacalories, as
        // pressure without Pdim is in kgf/cm2.
        const int index = row.contains(qdim) ? unitIndex(row.value(qdim))
            : row.contains(s1Qdim)           ? unitIndex(row.value(s1Qdim))
                                             : 0;
        return type == MetadataCatalogue::W ? heatPowerUnit(index) : heatUnit(index);
    }
    case MetadataCatalogue::G:
    case MetadataCatalogue::M:
        return QCoreApplication::translate("ParameterDescriber", "т");
    case MetadataCatalogue::V:
        return QCoreApplication::translate("ParameterDescriber", "м3");
    case MetadataCatalogue::t:
        return QCoreApplication::translate("ParameterDescriber", "°C");
    case MetadataCatalogue::P:
        return row.contains(pdim) ? pressureUnit(unitIndex(row.value(pdim))) : pressureUnit(0);
    case MetadataCatalogue::g:
        return QCoreApplication::translate("ParameterDescriber", "т/ч");
    case MetadataCatalogue::v:
        return QCoreApplication::translate("ParameterDescriber", "м3/ч");
    case MetadataCatalogue::Tm:
        return QCoreApplication::translate("ParameterDescriber", "чч:мм");
    case MetadataCatalogue::Th:
        return QCoreApplication::translate("ParameterDescriber", "ч");
    case MetadataCatalogue::E:
        return QCoreApplication::translate("ParameterDescriber", "кВт·ч");
    case MetadataCatalogue::Pe:
        return QCoreApplication::translate("ParameterDescriber", "кВт");
    default:
        return QString();
    }
}
