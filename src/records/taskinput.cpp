#include "taskinput.h"

#include "nextexecution.h"
#include "recordfields.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

namespace {

const QString kChannel = QStringLiteral("channel");
const QString kArchives = QStringLiteral("archives");
const QString kTimetable = QStringLiteral("timetable");

bool isList(const QVariant &value)
{
    return value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList;
}

} // namespace

ZeltoStatus TaskInput::readWholeNumber(const QVariantMap &input, const QString &key, bool nullable, QVariantMap &checked)
{
    const auto it = input.constFind(key);
    if (it == input.constEnd())
        return ZeltoStatus();
    if (nullable && it.value().isNull()) {
        checked.insert(key, QVariant());
        return ZeltoStatus();
    }
    int number = 0;
    if (!RecordFields::toInt(it.value(), number))
        return RecordFields::refuse(key, QObject::tr("целое число"));
    checked.insert(key, number);
    return ZeltoStatus();
}

ZeltoStatus TaskInput::readText(const QVariantMap &input, const QString &key, QVariantMap &checked)
{
    const auto it = input.constFind(key);
    if (it == input.constEnd())
        return ZeltoStatus();
    if (it.value().isNull()) {
        checked.insert(key, QVariant());
        return ZeltoStatus();
    }
    if (it.value().userType() != QMetaType::QString)
        return RecordFields::refuse(key, QObject::tr("строка"));
    checked.insert(key, it.value());
    return ZeltoStatus();
}

ZeltoStatus TaskInput::readDateTime(const QVariantMap &input, const QString &key, QVariantMap &checked)
{
    const auto it = input.constFind(key);
    if (it == input.constEnd())
        return ZeltoStatus();
    if (it.value().isNull()) {
        checked.insert(key, QVariant());
        return ZeltoStatus();
    }
    const int type = it.value().userType();
    const QDateTime dateTime = it.value().toDateTime();
    if ((type != QMetaType::QDateTime && type != QMetaType::QString) || !dateTime.isValid())
        return RecordFields::refuse(key, QObject::tr("дата и время"));
    checked.insert(key, dateTime);
    return ZeltoStatus();
}

ZeltoStatus TaskInput::readArchives(const QVariantMap &input, QVariantMap &checked)
{
    const auto it = input.constFind(kArchives);
    if (it == input.constEnd())
        return ZeltoStatus();
    if (!isList(it.value()))
        return RecordFields::refuse(kArchives, QObject::tr("список названий архивов"));
    const QVariantList items = it.value().toList();
    QStringList names;
    names.reserve(items.size());
    for (const QVariant &item : items) {
        if (item.userType() != QMetaType::QString)
            return RecordFields::refuse(kArchives, QObject::tr("список названий архивов"));
        names.append(item.toString());
    }
    checked.insert(kArchives, names);
    return ZeltoStatus();
}

ZeltoStatus TaskInput::checkTimetable(const QVariantMap &timetable)
{
    const QVariant mode = timetable.value(QStringLiteral("mode"));
    if (!mode.isNull() && mode.userType() != QMetaType::QString)
        return RecordFields::refuse(QStringLiteral("timetable.mode"), QObject::tr("строка"));

    const QVariant minute = timetable.value(QStringLiteral("minute"));
    qlonglong number = 0;
    if (!minute.isNull() && (!RecordFields::toWholeNumber(minute, number) || number < 0 || number > 59))
        return RecordFields::refuse(QStringLiteral("timetable.minute"), QObject::tr("целое число от 0 до 59"));

    const QVariant mask = timetable.value(QStringLiteral("dayMask"));
    if (!mask.isNull() && (!RecordFields::toWholeNumber(mask, number) || number < 0 || number > 0xFFFFFFFFLL))
        return RecordFields::refuse(QStringLiteral("timetable.dayMask"), QObject::tr("целое число от 0 до 4294967295"));

    const QVariant times = timetable.value(QStringLiteral("times"));
    if (times.isNull())
        return ZeltoStatus();
    const QString timesField = QStringLiteral("timetable.times");
    const QString timesExpected = QObject::tr("список времён суток");
    if (!isList(times))
        return RecordFields::refuse(timesField, timesExpected);
    const QVariantList items = times.toList();
    for (const QVariant &item : items) {
        const int type = item.userType();
        if (type != QMetaType::QTime && type != QMetaType::QString)
            return RecordFields::refuse(timesField, timesExpected);
    }
    if (NextExecution::timesOfDay(times).size() != items.size())
        return RecordFields::refuse(timesField, timesExpected);
    return ZeltoStatus();
}

ZeltoStatus TaskInput::read(const QVariantMap &input, QVariantMap &checked)
{
    checked.clear();
    ZeltoStatus status;
    for (const char *key : {"id", "node_id", "mon_interval"}) {
        if (!(status = readWholeNumber(input, QLatin1String(key), false, checked)).ok())
            return status;
    }
    for (const char *key : {"is_main", "varnel_port"}) {
        if (!(status = readWholeNumber(input, QLatin1String(key), true, checked)).ok())
            return status;
    }
    for (const char *key : {"varnel_ip", "last_error"}) {
        if (!(status = readText(input, QLatin1String(key), checked)).ok())
            return status;
    }
    if (!(status = readDateTime(input, QStringLiteral("last_exec"), checked)).ok()
        || !(status = readArchives(input, checked)).ok())
        return status;

    const auto channel = input.constFind(kChannel);
    if (channel != input.constEnd()) {
        if (channel.value().userType() != QMetaType::QVariantMap)
            return RecordFields::refuse(kChannel, QObject::tr("объект (настройки канала)"));
        checked.insert(kChannel, channel.value());
    }
    const auto timetable = input.constFind(kTimetable);
    if (timetable != input.constEnd()) {
        if (timetable.value().userType() != QMetaType::QVariantMap)
            return RecordFields::refuse(kTimetable, QObject::tr("объект (расписание)"));
        if (!(status = checkTimetable(timetable.value().toMap())).ok())
            return status;
        checked.insert(kTimetable, timetable.value());
    }
    return ZeltoStatus();
}
