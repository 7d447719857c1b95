#include "taildays.h"

#include "archivedates.h"
#include "columnaggregates.h"
#include "metadatacatalogue.h"

namespace {

const int kMinimumRows = 3;

ZeltoTable lastRows(const ZeltoTable &table, int count)
{
    QVector<QVector<QVariant>> rows;
    rows.reserve(count);
    for (int row = table.rowCount() - count; row < table.rowCount(); ++row)
        rows.append(table.rowCells(row));
    ZeltoTable result;
    result.setContent(table.columnNames(), std::move(rows));
    return result;
}

} // namespace

const QString &TailDays::calcColumn()
{
    static const QString name = QStringLiteral("calc");
    return name;
}

bool TailDays::isWholeMonth(const QDate &from, const QDate &to)
{
    return from.isValid() && to.isValid() && from.day() == 1 && to.year() == from.year()
        && to.month() == from.month() && to.day() == from.daysInMonth();
}

int TailDays::extend(ZeltoTable &days, const QDate &to, int baseDays,
                     const MetadataCatalogue &catalogue)
{
    const int count = days.rowCount();
    if (count <= kMinimumRows)
        return 0;
    const int dateColumn = days.columnIndex(ArchiveDates::column());
    const QDateTime lastDate = days.value(count - 1, dateColumn).toDateTime();
    // A month with no reading at all is estimated whole from the last days read.
    if (!lastDate.isValid() || lastDate.date() >= to)
        return 0;

    const ZeltoTable base = lastRows(days, qBound(1, baseDays, count));
    QVariantMap estimate;
    for (int c = 0; c < days.columnCount(); ++c) {
        const QString code = days.columnName(c);
        const QVariant last = days.value(count - 1, c);
        if (c == dateColumn || last.isNull() || !catalogue.isParam(code))
            continue;
        if (catalogue.isFlags(code) || catalogue.isErrorParam(code))
            estimate.insert(code, 0);
        else if (catalogue.isCumulative(code) || catalogue.isAveraged(code))
            estimate.insert(code, ColumnAggregates::mean(base, code));   // none without a reading
        else
            estimate.insert(code, last);
    }
    estimate.insert(calcColumn(), true);

    int added = 0;
    for (QDateTime date = lastDate.addDays(1); date.date() <= to; date = date.addDays(1)) {
        estimate.insert(ArchiveDates::column(), date);
        days.appendRow(estimate);
        ++added;
    }
    return added;
}
