#pragma once

#include "zeltotable.h"

#include <QHash>
#include <QStringList>
#include <QVector>

// A query's rows gathered into a table, whichever reader steps the query:
// a repeated field name shares one column (the later field's value kept),
// the date/time columns (Database::dateTimeColumns) are known per field, and
// rows are built whole and handed over at the end. Many rows share a date
// (a day of polls), so each date's text is parsed once.
class ResultTable
{
public:
    explicit ResultTable(const QStringList &fieldNames);

    int fieldCount() const { return m_columns.size(); }
    bool isDateTime(int field) const { return m_dateTime.at(field); }
    // The name of the column the field goes to.
    QString columnName(int field) const { return m_table.columnName(m_columns.at(field)); }
    // An empty row to fill with cell() and hand to append().
    QVector<QVariant> newRow() const { return QVector<QVariant>(m_table.columnCount()); }
    QVariant &cell(QVector<QVariant> &row, int field) const { return row[m_columns.at(field)]; }
    void append(QVector<QVariant> &&row) { m_rows.append(std::move(row)); }
    // The date/time a date column's text stands for.
    QVariant dateTime(const QString &text);
    ZeltoTable take();

private:
    ZeltoTable m_table;
    QVector<int> m_columns;   // per field
    QVector<bool> m_dateTime;   // per field
    QVector<QVector<QVariant>> m_rows;
    QHash<QString, QVariant> m_dates;
};
