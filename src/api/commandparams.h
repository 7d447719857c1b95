#pragma once

#include "commandcontext.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class DataMonitor;
class TaskManager;

// A command's name, parameters and context (the caller, the database) with
// the server's polling and monitoring, as
// the command table hands them to the command's handler. Reads the parameters by position. Parameters that are
// missing read as null; ids, records, lists and date-times of the wrong kind
// are refused with a clear message instead of turning into 0, an empty value
// or "no bound", so bad input changes nothing.
class CommandParams
{
public:
    CommandParams(const CommandContext &context, const QString &command, const QVariantList &params,
                  TaskManager *polling = nullptr, DataMonitor *monitor = nullptr)
        : m_context(context), m_command(command), m_params(params), m_polling(polling), m_monitor(monitor)
    {
    }

    const CommandContext &context() const { return m_context; }
    // The server's task manager and data monitor; null where it has none.
    TaskManager *polling() const { return m_polling; }
    DataMonitor *monitor() const { return m_monitor; }

    bool ok() const { return m_ok; }
    // The first refusal (kind InvalidParameter); success while ok().
    const ZeltoStatus &refusal() const { return m_refusal; }
    int size() const { return m_params.size(); }

    int id(int index);
    QString text(int index) const;
    QVariantMap record(int index);
    QVariantList list(int index);
    QStringList stringList(int index);
    // A date-time, a date (its midnight) or ISO 8601 text; null, a missing
    // parameter and empty text give an invalid date-time, meaning no bound.
    QDateTime dateTime(int index);
    // A day given as a date, a date-time or ISO text; null gives an invalid
    // date (an open bound), anything else is refused.
    QDate optionalDate(int index);
    // A list of whole numbers, each an id.
    QList<int> idList(int index);
    QVariant value(int index) const { return m_params.value(index); }
    // Fails unless at least count parameters were given.
    bool require(int count);
    // Refuses the parameter (the first refusal is the one kept in
    // refusal()); false.
    bool refuse(int index, const QString &expected);

private:
    CommandContext m_context;
    QString m_command;
    QVariantList m_params;
    TaskManager *m_polling;
    DataMonitor *m_monitor;
    bool m_ok = true;
    ZeltoStatus m_refusal;
};
