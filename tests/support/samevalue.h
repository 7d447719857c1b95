#pragma once

#include "zeltomarkers.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <cstring>
#include <tuple>

inline quint64 bitsOf(double d)
{
    quint64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

inline double fromBits(quint64 bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Same type and same value, down to double bits, string nullness and
// kind of date-time; why says where they differ.
inline bool same(const QVariant &a, const QVariant &b, QString *why, const QString &path = QStringLiteral("value"))
{
    if (a.isNull() != b.isNull() || a.userType() != b.userType()) {
        *why = QStringLiteral("%1: %2 (null %3) became %4 (null %5)")
                   .arg(path, QString::fromLatin1(a.typeName())).arg(a.isNull())
                   .arg(QString::fromLatin1(b.typeName())).arg(b.isNull());
        return false;
    }
    bool equal = true;
    const int type = a.userType();
    if (type == QMetaType::Double) {
        equal = bitsOf(a.toDouble()) == bitsOf(b.toDouble());
    } else if (type == QMetaType::QString) {
        equal = a.toString() == b.toString() && a.toString().isNull() == b.toString().isNull();
    } else if (type == QMetaType::QByteArray) {
        equal = a.toByteArray() == b.toByteArray() && a.toByteArray().isNull() == b.toByteArray().isNull();
    } else if (type == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        equal = x.isValid() == y.isValid()
                && (!x.isValid() ? y.isNull()
                                 : x.timeSpec() == y.timeSpec() && x.toMSecsSinceEpoch() == y.toMSecsSinceEpoch()
                                       && x.offsetFromUtc() == y.offsetFromUtc() && x.timeZone() == y.timeZone());
    } else if (type == QMetaType::QVariantList || type == QMetaType::QStringList || type == QMetaType::QVariantMap
               || type == qMetaTypeId<ZeltoTableMap>()) {
        // Lists, and maps as their keys and then their values in key order.
        QStringList keysX, keysY;
        QVariantList x, y;
        for (const auto &[from, keys, to] : { std::make_tuple(&a, &keysX, &x), std::make_tuple(&b, &keysY, &y) }) {
            if (type == qMetaTypeId<ZeltoTableMap>()) {
                const ZeltoTableMap tables = from->value<ZeltoTableMap>();
                *keys = tables.keys();
                for (const ZeltoTable &table : tables)
                    *to << QVariant::fromValue(table);
            } else if (type == QMetaType::QVariantMap) {
                *keys = from->toMap().keys();
                *to = from->toMap().values();
            } else {
                *to = from->toList();
            }
        }
        if (keysX != keysY || x.size() != y.size()) {
            *why = path + QStringLiteral(": keys or sizes differ");
            return false;
        }
        for (int i = 0; i < x.size(); ++i) {
            if (!same(x.at(i), y.at(i), why, path + QStringLiteral("[%1]").arg(i)))
                return false;
        }
    } else if (type == qMetaTypeId<ZeltoTable>()) {
        const ZeltoTable x = a.value<ZeltoTable>(), y = b.value<ZeltoTable>();
        if (x.columnNames() != y.columnNames() || x.rowCount() != y.rowCount()) {
            *why = path + QStringLiteral(": columns or row count differ");
            return false;
        }
        for (int r = 0; r < x.rowCount(); ++r) {
            if (y.rowCells(r).size() > y.columnCount()) {
                *why = path + QStringLiteral(": row %1 longer than the columns").arg(r);
                return false;
            }
            for (int c = 0; c < x.columnCount(); ++c) {
                if (!same(x.value(r, c), y.value(r, c), why, path + QStringLiteral("[%1,%2]").arg(r).arg(c)))
                    return false;
            }
        }
    } else if (type != qMetaTypeId<ZeltoOutOfRange>() && type != qMetaTypeId<ZeltoUnused>()
               && type != QMetaType::UnknownType) {
        equal = a == b;   // for markers and the invalid variant the type is the value
    }
    if (!equal)
        *why = QStringLiteral("%1: %2 became %3").arg(path, a.toString(), b.toString());
    return equal;
}

