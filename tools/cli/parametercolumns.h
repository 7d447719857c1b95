#pragma once

#include <QChar>
#include <QCoreApplication>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

// How the parameters of a report are shown: their titles, units,
// precisions and enumerated values, as the server's describeParams gives
// them for the device model and the values at hand (the unit of heat
// follows the device's Qdim setting, that of pressure its Pdim).
class ParameterColumns
{
    Q_DECLARE_TR_FUNCTIONS(ParameterColumns)

public:
    struct Column {
        QString code;
        QString title;
        QString unit;
        int precision = -1;    // -1: as the value comes
        QString type;
        QMap<QString, QString> items;   // item code -> title (enumerations)
        QMap<int, QString> flagCodes;    // bit -> its code (flag words)
        QMap<int, QString> flagTitles;   // bit -> its title
    };

    // Adds the parameters of one describeParams result that are not there yet.
    void add(const QVariantMap &description);

    QStringList codes() const { return m_codes; }
    bool contains(const QString &code) const { return m_columns.contains(code); }
    const Column &column(const QString &code) const;
    // "Title, unit"; the system's name first when the report spans several.
    QString heading(const QString &code, bool withUnit = true) const;

    // A cell as a person reads it: numbers with the parameter's precision
    // and the given decimal mark (never "-0.000"), enumerated values by their
    // titles, flag words as the codes of the flags set (with flagTitles their
    // titles, "; " between them; nothing when none is set), days as
    // dd.MM.yyyy, null as nothing; markerUnused stands for a parameter the
    // device does not deliver.
    QString text(const QString &code, const QVariant &value, QChar decimalMark, const QString &markerUnused,
                 bool flagTitles = false) const;
    static QString plainText(const QVariant &value, QChar decimalMark, const QString &markerUnused, int precision = -1);

    bool isFlags(const QString &code) const;
    // The bits of a flag word; false when the value is none (not a whole
    // number).
    static bool flagBits(const QVariant &value, quint64 &bits);
    // "code - title" of each bit set, for the legend under a table.
    QStringList flagLegend(const QString &code, quint64 bits) const;

private:
    static QString flagCode(const Column &column, int bit);
    static QString flagTitle(const Column &column, int bit);

    QStringList m_codes;
    QHash<QString, Column> m_columns;
    QMap<int, QString> m_systems;
    QHash<QString, int> m_systemOf;
};
