#include "resulttable.h"

#include "database.h"

#include <QDateTime>

namespace {

// Dates of one result kept parsed, at most.
const int kDateCacheSize = 4096;

} // namespace

ResultTable::ResultTable(const QStringList &fieldNames)
    : m_columns(fieldNames.size()), m_dateTime(fieldNames.size())
{
    for (int field = 0; field < fieldNames.size(); ++field) {
        m_columns[field] = m_table.appendColumn(fieldNames.at(field));
        m_dateTime[field] = Database::dateTimeColumns().contains(fieldNames.at(field));
    }
}

QVariant ResultTable::dateTime(const QString &text)
{
    const auto known = m_dates.constFind(text);
    if (known != m_dates.constEnd())
        return known.value();
    const QVariant parsed(QVariant(text).toDateTime());
    if (m_dates.size() >= kDateCacheSize)
        m_dates.clear();
    m_dates.insert(text, parsed);
    return parsed;
}

ZeltoTable ResultTable::take()
{
    if (!m_table.columnNames().isEmpty())
        m_table.setContent(m_table.columnNames(), std::move(m_rows));
    return std::move(m_table);
}
