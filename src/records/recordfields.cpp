#include "recordfields.h"

#include "database.h"

#include "user.h"

#include <QObject>

#include <cmath>
#include <limits>

bool RecordFields::isPlain(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QDateTime:
    case QMetaType::QDate:
    case QMetaType::QTime:
        return true;
    default:
        return false;
    }
}

ZeltoStatus RecordFields::copy(const QVariantMap &input, QVariantMap &record, const QStringList &keys)
{
    for (const QString &key : keys) {
        const auto it = input.constFind(key);
        if (it == input.constEnd())
            continue;
        if (!isPlain(it.value()))
            return refuse(key, QObject::tr("строка, число или дата"));
        record.insert(key, it.value());
    }
    return ZeltoStatus();
}

bool RecordFields::toWholeNumber(const QVariant &value, qlonglong &out)
{
    bool ok = false;
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::QString:
        out = value.toLongLong(&ok);
        return ok;
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        out = qlonglong(u);
        return u <= qulonglong(std::numeric_limits<qlonglong>::max());
    }
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9007199254740992.0)
            return false;
        out = qlonglong(d);
        return true;
    }
    default:
        return false;
    }
}

bool RecordFields::toInt(const QVariant &value, int &out)
{
    // QVariant::toInt() would cut 64-bit numbers and numeric text to their
    // low 32 bits without a word: 4294967297 would become 1.
    qlonglong number = 0;
    if (!toWholeNumber(value, number) || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return false;
    out = int(number);
    return true;
}

ZeltoStatus RecordFields::checkWholeNumbers(const QVariantMap &record, const QStringList &keys)
{
    for (const QString &key : keys) {
        const QVariant value = record.value(key);
        qlonglong number = 0;
        if (!value.isNull() && !toWholeNumber(value, number))
            return refuse(key, QObject::tr("целое число"));
    }
    return ZeltoStatus();
}

ZeltoStatus RecordFields::refuse(const QString &field, const QString &expected)
{
    return ZeltoStatus::invalid(QObject::tr("Неверное значение поля %1: ожидается %2").arg(field, expected));
}

ZeltoStatus RecordFields::readId(const QVariantMap &input, const QString &key, int &out)
{
    if (toInt(input.value(key), out))
        return ZeltoStatus();
    return refuse(key, QObject::tr("целое число"));
}

ZeltoStatus RecordFields::copyVisibleId(const QVariantMap &input, QVariantMap &record,
                                        const std::function<ZeltoResult<bool>(int)> &isVisible)
{
    const QString key = QStringLiteral("id");
    if (!input.contains(key))
        return ZeltoStatus();
    int id = -1;
    const ZeltoStatus read = readId(input, key, id);
    if (!read.ok())
        return read;
    record.insert(key, id);
    const ZeltoResult<bool> visible = isVisible(id);
    if (!visible.ok())
        return visible.status();
    return visible.value() ? ZeltoStatus() : User::refusal(ZeltoStatus::NotFound);
}

ZeltoStatus RecordFields::readIdList(const QVariant &value, const QString &field, QVariantList &out)
{
    if (value.userType() != QMetaType::QVariantList && value.userType() != QMetaType::QStringList)
        return refuse(field, QObject::tr("список"));
    const QVariantList items = value.toList();
    out.clear();
    out.reserve(items.size());
    for (const QVariant &item : items) {
        int id = 0;
        if (!toInt(item, id))
            return refuse(field, QObject::tr("список целых чисел"));
        out.append(id);
    }
    return ZeltoStatus();
}

ZeltoStatus RecordFields::readStringList(const QVariant &value, const QString &field, QStringList &out)
{
    if (value.userType() != QMetaType::QVariantList && value.userType() != QMetaType::QStringList)
        return refuse(field, QObject::tr("список"));
    out = value.toStringList();
    return ZeltoStatus();
}

ZeltoStatus RecordFields::readText(const QVariant &value, const QString &field, QString &out)
{
    switch (value.userType()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        out = value.toString();
        return ZeltoStatus();
    default:
        return refuse(field, QObject::tr("строка"));
    }
}
