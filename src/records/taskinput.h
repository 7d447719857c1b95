#pragma once

#include "zeltostatus.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

// The editable form of a task as a client or the task manager sends it.
// Every value goes into a column, a stored setting or the next-run
// computation, so each must be of the kind its key stands for; a value of
// the wrong kind is refused with the key's name instead of being stored as
// something else. Keys the form does not know are dropped.
class TaskInput
{
public:
    // The checked form: numbers as int, "last_exec" as a date-time, the
    // channel, archives and timetable as sent. Refused at the first value of
    // the wrong kind.
    static ZeltoStatus read(const QVariantMap &input, QVariantMap &checked);

private:
    static ZeltoStatus readWholeNumber(const QVariantMap &input, const QString &key, bool nullable, QVariantMap &checked);
    static ZeltoStatus readText(const QVariantMap &input, const QString &key, QVariantMap &checked);
    static ZeltoStatus readDateTime(const QVariantMap &input, const QString &key, QVariantMap &checked);
    static ZeltoStatus readArchives(const QVariantMap &input, QVariantMap &checked);
    static ZeltoStatus checkTimetable(const QVariantMap &timetable);
};
