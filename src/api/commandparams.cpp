#include "commandparams.h"

#include "recordfields.h"

#include <QCoreApplication>

bool CommandParams::refuse(int index, const QString &expected)
{
    if (m_ok)
        m_refusal = ZeltoStatus::invalid(
            QCoreApplication::translate("CommandParams", "Неверный параметр %1 команды %2: ожидается %3")
                .arg(index + 1)
                .arg(m_command, expected));
    m_ok = false;
    return false;
}

bool CommandParams::require(int count)
{
    if (m_params.size() >= count)
        return true;
    if (m_ok)
        m_refusal = ZeltoStatus::invalid(
            QCoreApplication::translate("CommandParams", "Команде %1 нужно параметров: %2, передано: %3")
                .arg(m_command)
                .arg(count)
                .arg(m_params.size()));
    m_ok = false;
    return false;
}

int CommandParams::id(int index)
{
    int result = 0;
    if (!RecordFields::toInt(m_params.value(index), result))
        refuse(index, QCoreApplication::translate("CommandParams", "целое число"));
    return result;
}

QList<int> CommandParams::idList(int index)
{
    const QVariantList items = list(index);
    // Each item read as the id parameters are, the refusal naming the list.
    CommandParams each(m_context, m_command, items);
    QList<int> ids;
    ids.reserve(items.size());
    for (int i = 0; i < items.size() && each.ok(); ++i)
        ids.append(each.id(i));
    if (each.ok())
        return ids;
    refuse(index, QCoreApplication::translate("CommandParams", "список целых чисел"));
    return QList<int>();
}

QString CommandParams::text(int index) const
{
    return m_params.value(index).toString();
}

QVariantMap CommandParams::record(int index)
{
    const QVariant v = m_params.value(index);
    if (v.userType() != QMetaType::QVariantMap) {
        refuse(index, QCoreApplication::translate("CommandParams", "объект (запись)"));
        return QVariantMap();
    }
    return v.toMap();
}

QVariantList CommandParams::list(int index)
{
    const QVariant v = m_params.value(index);
    if (v.userType() != QMetaType::QVariantList && v.userType() != QMetaType::QStringList) {
        refuse(index, QCoreApplication::translate("CommandParams", "список"));
        return QVariantList();
    }
    return v.toList();
}

QStringList CommandParams::stringList(int index)
{
    const QVariantList items = list(index);
    QStringList strings;
    for (const QVariant &item : items)
        strings.append(item.toString());
    return strings;
}

QDateTime CommandParams::dateTime(int index)
{
    const QVariant v = m_params.value(index);
    if (v.isNull())
        return QDateTime();
    QDateTime result;
    switch (v.userType()) {
    case QMetaType::QDateTime:
        return v.toDateTime();
    case QMetaType::QDate:
        return v.toDate().startOfDay();
    case QMetaType::QString:
        if (v.toString().isEmpty())
            return QDateTime();
        result = QDateTime::fromString(v.toString(), Qt::ISODate);
        break;
    default:
        break;
    }
    if (!result.isValid())
        refuse(index, QCoreApplication::translate("CommandParams", "дата и время"));
    return result;
}

QDate CommandParams::optionalDate(int index)
{
    const QVariant v = m_params.value(index);
    QDate day;
    switch (v.userType()) {
    case QMetaType::UnknownType:
        return QDate();
    case QMetaType::QDate:
        day = v.toDate();
        break;
    case QMetaType::QDateTime:
        day = v.toDateTime().date();
        break;
    case QMetaType::QString:
        day = QDate::fromString(v.toString(), Qt::ISODate);
        if (!day.isValid())
            day = QDateTime::fromString(v.toString(), Qt::ISODate).date();
        break;
    default:
        break;
    }
    if (v.isNull())
        return QDate();
    if (!day.isValid())
        refuse(index, QCoreApplication::translate("CommandParams", "дата"));
    return day;
}
