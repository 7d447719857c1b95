#pragma once

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
    // channel, archives and timetable as sent. False (reported) at the first
    // value of the wrong kind.
    static bool read(const QVariantMap &input, QVariantMap &checked);

private:
    static bool readWholeNumber(const QVariantMap &input, const QString &key, bool nullable, QVariantMap &checked);
    static bool readText(const QVariantMap &input, const QString &key, QVariantMap &checked);
    static bool readDateTime(const QVariantMap &input, const QString &key, QVariantMap &checked);
    static bool readArchives(const QVariantMap &input, QVariantMap &checked);
    static bool checkTimetable(const QVariantMap &timetable);
    static bool refuse(const QString &field, const QString &expected);
};
