#include "commandparams.h"

#include "recordfields.h"
#include "zeltosystem.h"

#include <QCoreApplication>

bool CommandParams::refuse(int index, const QString &expected)
{
    if (m_ok)
        ZeltoSystem::instance()->error(
            QCoreApplication::translate("CommandParams", "Неверный параметр %1 команды %2: ожидается %3")
                .arg(index + 1)
                .arg(m_command, expected),
            true);
    m_ok = false;
    return false;
}

bool CommandParams::require(int count)
{
    if (m_params.size() >= count)
        return true;
    if (m_ok)
        ZeltoSystem::instance()->error(
            QCoreApplication::translate("CommandParams", "Команде %1 нужно параметров: %2, передано: %3")
                .arg(m_command)
                .arg(count)
                .arg(m_params.size()),
            true);
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

QDateTime CommandParams::dateTime(int index) const
{
    return m_params.value(index).toDateTime();
}

QDate CommandParams::date(int index) const
{
    return m_params.value(index).toDate();
}
