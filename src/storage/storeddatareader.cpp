#include "storeddatareader.h"

QString StoredDataReader::storedRowsText(const QString &table, const QStringList &columns)
{
    QStringList marks;
    for (int i = 0; i < kIdsPerStatement; ++i)
        marks << QStringLiteral("?");
    return QStringLiteral("SELECT id, %2 FROM %1_data WHERE id IN (%3)")
        .arg(table, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
}

void StoredDataReader::handOn(const QVector<QVariant> &cells, QVector<QVariant> &values,
                              const std::function<void(int id, const QVector<QVariant> &values)> &each)
{
    for (int i = 0; i < values.size(); ++i)
        values[i] = cells.value(i + 1);
    each(cells.value(0).toInt(), values);
}

QString StoredDataReader::failurePrefix(const QString &table)
{
    return QStringLiteral("[#") + table + QStringLiteral("] ");
}
