#include "opcvalue.h"

#include <QDateTime>

#include <cmath>
#include <limits>

namespace {

bool isWhole(int userType)
{
    switch (userType) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

} // namespace

OpcValue::Type OpcValue::typeOf(const QVariant &value)
{
    const int type = value.userType();
    if (value.isNull() && type != QMetaType::QString)
        return None;
    switch (type) {
    case QMetaType::Bool:
        return Boolean;
    case QMetaType::Double:
    case QMetaType::Float:
        return Double;
    case QMetaType::QString:
        return String;
    case QMetaType::QDateTime:
        return value.toDateTime().isValid() ? DateTime : None;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        // The stored form keeps wide unsigned numbers; only those that fit 32 bits are items.
        return value.toULongLong() <= std::numeric_limits<quint32>::max() ? UInt32 : None;
    }
    default:
        break;
    }
    if (isWhole(type)) {
        // Whole numbers come back from storage as 64-bit ones: within 32 bits they are Int32.
        const qlonglong n = value.toLongLong();
        return n >= std::numeric_limits<qint32>::min() && n <= std::numeric_limits<qint32>::max() ? Int32 : None;
    }
    return None;
}

QString OpcValue::typeName(Type type)
{
    switch (type) {
    case Boolean:
        return QStringLiteral("Boolean");
    case Int32:
        return QStringLiteral("Int32");
    case UInt32:
        return QStringLiteral("UInt32");
    case Double:
        return QStringLiteral("Double");
    case String:
        return QStringLiteral("String");
    case DateTime:
        return QStringLiteral("DateTime");
    case None:
        break;
    }
    return QString();
}

QJsonValue OpcValue::toWire(const QVariant &value, Type type)
{
    if (type == None || typeOf(value) == None)
        return QJsonValue();
    switch (type) {
    case Boolean:
        return value.userType() == QMetaType::Bool ? QJsonValue(value.toBool()) : QJsonValue();
    case Int32:
    case UInt32: {
        // A value changes type between runs only through a device's fault:
        // a whole number that fits the item's range is still written.
        const Type actual = typeOf(value);
        if (actual != Int32 && actual != UInt32)
            return QJsonValue();
        const qlonglong n = actual == UInt32 ? qlonglong(value.toULongLong()) : value.toLongLong();
        const bool fits = type == Int32 ? n <= std::numeric_limits<qint32>::max() : n >= 0;
        return fits ? QJsonValue(double(n)) : QJsonValue();
    }
    case Double: {
        const Type actual = typeOf(value);
        if (actual != Double && actual != Int32 && actual != UInt32)
            return QJsonValue();
        const double d = value.toDouble();
        // JSON has no NaN nor infinities: such a reading is a bad value.
        return std::isfinite(d) ? QJsonValue(d) : QJsonValue();
    }
    case String:
        return value.userType() == QMetaType::QString ? QJsonValue(value.toString()) : QJsonValue();
    case DateTime:
        return value.userType() == QMetaType::QDateTime
            ? QJsonValue(value.toDateTime().toUTC().toString(Qt::ISODateWithMs))
            : QJsonValue();
    case None:
        break;
    }
    return QJsonValue();
}

QJsonValue OpcValue::zero(Type type)
{
    switch (type) {
    case Boolean:
        return false;
    case Int32:
    case UInt32:
    case Double:
        return 0;
    case String:
        return QString();
    case DateTime:
    case None:
        break;
    }
    // The OPC epoch's zero, which clients show as "no time".
    return QJsonValue();
}

QPair<QJsonValue, int> OpcValue::published(const QVariant &value, Type type)
{
    const QJsonValue wire = toWire(value, type);
    if (wire.isNull())
        return qMakePair(zero(type), kBad);
    return qMakePair(wire, kGood);
}
