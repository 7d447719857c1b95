#pragma once

#include "zeltomarkers.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <cstring>

inline quint64 bitsOf(double d) { quint64 bits; std::memcpy(&bits, &d, sizeof bits); return bits; }
inline double fromBits(quint64 bits) { double d; std::memcpy(&d, &bits, sizeof d); return d; }

// Same type and same value, down to double bits, string nullness and
// kind of date-time; why says where they differ.
inline bool same(const QVariant &a, const QVariant &b, QString *why, const QString &path = QStringLiteral("value"))
{
    const auto differ = [&](const QString &what) {
        *why = path + QStringLiteral(": ") + what;
        return false;
    };
    const int type = a.userType();
    if (a.isNull() != b.isNull() || type != b.userType())   // isNull sees null strings and typed nulls
        return differ(QStringLiteral("%1 (null %2) became %3 (null %4)").arg(QString::fromLatin1(a.typeName()))
                          .arg(a.isNull()).arg(QString::fromLatin1(b.typeName())).arg(b.isNull()));
    // Containers compare as their keys, then their values in order; tables
    // as their columns, then their cells row by row.
    QStringList keysA, keysB;
    QVariantList x, y;
    if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        x = a.toList();
        y = b.toList();
    } else if (type == QMetaType::QVariantMap) {
        keysA = a.toMap().keys();
        keysB = b.toMap().keys();
        x = a.toMap().values();
        y = b.toMap().values();
    } else if (type == qMetaTypeId<ZeltoTableMap>()) {
        const ZeltoTableMap s = a.value<ZeltoTableMap>(), t = b.value<ZeltoTableMap>();
        keysA = s.keys();
        keysB = t.keys();
        for (const ZeltoTable &table : s)
            x << QVariant::fromValue(table);
        for (const ZeltoTable &table : t)
            y << QVariant::fromValue(table);
    } else if (type == qMetaTypeId<ZeltoTable>()) {
        const ZeltoTable s = a.value<ZeltoTable>(), t = b.value<ZeltoTable>();
        keysA = s.columnNames();
        keysB = t.columnNames();
        if (s.rowCount() != t.rowCount())
            return differ(QStringLiteral("row counts differ"));
        for (int r = 0; r < s.rowCount(); ++r) {
            if (t.rowCells(r).size() > t.columnCount())
                return differ(QStringLiteral("row %1 longer than the columns").arg(r));
            for (int c = 0; c < s.columnCount(); ++c) {
                x << s.value(r, c);
                y << t.value(r, c);
            }
        }
    } else if (type == QMetaType::Double) {
        return bitsOf(a.toDouble()) == bitsOf(b.toDouble()) || differ(a.toString() + " became " + b.toString());
    } else if (type == QMetaType::QDateTime) {
        const QDateTime s = a.toDateTime(), t = b.toDateTime();
        return (s.isValid() ? s.timeSpec() == t.timeSpec() && s.toMSecsSinceEpoch() == t.toMSecsSinceEpoch()
                                  && s.offsetFromUtc() == t.offsetFromUtc() && s.timeZone() == t.timeZone()
                            : t.isNull())
               || differ(s.toString(Qt::ISODateWithMs) + " became " + t.toString(Qt::ISODateWithMs));
    } else {
        // For markers and the invalid variant the type is the value.
        return type == qMetaTypeId<ZeltoOutOfRange>() || type == qMetaTypeId<ZeltoUnused>()
               || type == QMetaType::UnknownType || a == b || differ(a.toString() + " became " + b.toString());
    }
    if (keysA != keysB || x.size() != y.size())
        return differ(QStringLiteral("keys, columns or sizes differ"));
    for (int i = 0; i < x.size(); ++i) {
        if (!same(x.at(i), y.at(i), why, path + QStringLiteral("[%1]").arg(i)))
            return false;
    }
    return true;
}
