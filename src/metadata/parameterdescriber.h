#pragma once

#include "zeltostatus.h"

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class MetadataCatalogue;

// Describes a row of a device model's values for client programs: per
// parameter present its title, system, type, unit, precision, error flag and
// enumerated values, plus how many parameters each heating system has.
class ParameterDescriber
{
public:
    explicit ParameterDescriber(const MetadataCatalogue &catalogue) : m_catalogue(catalogue) {}

    // {"params": [...], "systems": [...]}; refused when the lists differ in
    // length.
    ZeltoResult<QVariantMap> describe(const QString &modelCode, const QStringList &columns, const QVariantList &values) const;

    // The unit of the parameter in a row of its device's values (column ->
    // value), as describe() gives it; empty when none applies.
    QString unitOf(const QString &code, const QVariantMap &row) const;

    // The units a device reports in, by the index it gives; empty outside 0..2.
    static QString heatUnit(int index);
    static QString heatPowerUnit(int index);
    static QString pressureUnit(int index);

private:
    QVariantMap describeParam(const QString &code, const QString &modelCode, const QVariantMap &row) const;
    static QString unit(int type, const QVariantMap &row);
    static int unitIndex(const QVariant &value);

    const MetadataCatalogue &m_catalogue;
};
