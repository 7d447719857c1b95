#include "zeltokeyindex.h"

#include "zeltotable.h"

#include <QDateTime>

#include <cstring>

namespace {

enum Kind : quint64 { KindNull = 1, KindBool, KindNumber, KindDateTime, KindDate, KindTime, KindString, KindOther };

Kind kindOf(const QVariant &v)
{
    if (!v.isValid())
        return KindNull;
    switch (v.userType()) {
    case QMetaType::Bool:
        return KindBool;
    case QMetaType::QDateTime:
        return KindDateTime;
    case QMetaType::QDate:
        return KindDate;
    case QMetaType::QTime:
        return KindTime;
    case QMetaType::QString:
        return KindString;
    default:
        return Zelto::isNumber(v) ? KindNumber : KindOther;
    }
}

quint64 mix(quint64 kind, quint64 bits)
{
    quint64 h = bits ^ (kind * 0x9E3779B97F4A7C15ULL);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    return h;
}

} // namespace

quint64 ZeltoKeyIndex::hashOf(const QVariant &value)
{
    const Kind kind = kindOf(value);
    switch (kind) {
    case KindNull:
        return mix(kind, 0);
    case KindBool:
        return mix(kind, value.toBool());
    case KindNumber: {
        double number = value.toDouble();
        if (number == 0.0)
            number = 0.0; // -0.0 and 0.0 are one key
        quint64 bits;
        std::memcpy(&bits, &number, sizeof bits);
        return mix(kind, bits);
    }
    case KindDateTime: {
        const QDateTime dt = value.toDateTime();
        return mix(kind, dt.isValid() ? quint64(dt.toMSecsSinceEpoch()) : 0);
    }
    case KindDate:
        return mix(kind, quint64(value.toDate().toJulianDay()));
    case KindTime:
        return mix(kind, quint64(value.toTime().msecsSinceStartOfDay()));
    case KindString:
        return mix(kind, qHash(value.toString()));
    case KindOther:
        break;
    }
    return mix(kind, quint64(value.userType()));
}

bool ZeltoKeyIndex::sameKey(const QVariant &a, const QVariant &b)
{
    const Kind kind = kindOf(a);
    if (kind != kindOf(b))
        return false;
    if (kind == KindOther)
        return a.userType() == b.userType() && a == b;
    return Zelto::compareValues(a, b) == 0;
}
