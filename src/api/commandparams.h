#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// Reads a command's parameters by position. Parameters that are missing read
// as null; ids, records and lists of the wrong kind are refused with a clear
// message instead of turning into 0 or an empty value that would then be
// written, so bad input changes nothing.
class CommandParams
{
public:
    CommandParams(const QString &command, const QVariantList &params) : m_command(command), m_params(params) {}

    bool ok() const { return m_ok; }
    int size() const { return m_params.size(); }

    int id(int index);
    QString text(int index) const;
    QVariantMap record(int index);
    QVariantList list(int index);
    QStringList stringList(int index);
    QDateTime dateTime(int index) const;
    QDate date(int index) const;
    // A day given as a date, a date-time or ISO text; null gives an invalid
    // date (an open bound), anything else is refused.
    QDate optionalDate(int index);
    // A list of whole numbers, each an id.
    QList<int> idList(int index);
    QVariant value(int index) const { return m_params.value(index); }
    // Fails unless at least count parameters were given.
    bool require(int count);

private:
    bool refuse(int index, const QString &expected);

    QString m_command;
    QVariantList m_params;
    bool m_ok = true;
};
