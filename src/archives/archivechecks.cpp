#include "archivechecks.h"

#include "database.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QVector>

#include <cmath>
#include <limits>

namespace {

const QString kDate = QStringLiteral("date");
const qint64 kDaySeconds = 86400;
const qint64 kHourMs = 3600 * 1000;
const qint64 kNoInstant = std::numeric_limits<qint64>::min();
const int kNoMonth = std::numeric_limits<int>::min();

QDateTime cellDate(const ZeltoTable &table, int row, int column)
{
    if (column < 0 || row < 0 || row >= table.rowCount())
        return QDateTime();
    const QVector<QVariant> &cells = table.rowCells(row);
    return column < cells.size() ? cells.at(column).toDateTime() : QDateTime();
}

int monthIndex(const QDate &date)
{
    return date.isValid() ? date.year() * 12 + date.month() - 1 : kNoMonth;
}

// The rows' dates as instants, converted once: the scans compare every
// slot with the current row, and a local-time conversion per comparison
// would dominate the scan of a long hourly archive.
QVector<qint64> rowInstants(const ZeltoTable &table, int column)
{
    QVector<qint64> instants(table.rowCount(), kNoInstant);
    for (int row = 0; row < instants.size(); ++row) {
        const QDateTime date = cellDate(table, row, column);
        if (date.isValid())
            instants[row] = date.toMSecsSinceEpoch();
    }
    return instants;
}

QVector<int> rowMonths(const ZeltoTable &table, int column)
{
    QVector<int> months(table.rowCount(), kNoMonth);
    for (int row = 0; row < months.size(); ++row)
        months[row] = monthIndex(cellDate(table, row, column).date());
    return months;
}

// The record pointer moves only when the current row meets the slot; a row
// off the expected slots therefore stays current and the slots after it
// count as gaps. Day and hour scans end once the slot reaches or passes
// lastDate, so that rows off the grid cannot keep them going.

QVariantList monthGaps(const QDateTime &first, const QDateTime &last, const QVector<int> &rows)
{
    QVariantList gaps;
    const int lastMonth = monthIndex(last.date());
    int record = 0;
    QDateTime slot = first;
    while (slot.isValid() && gaps.size() < ArchiveChecks::kMaxGaps) {
        const int slotMonth = monthIndex(slot.date());
        if (slotMonth >= lastMonth)
            break;
        if (record < rows.size() && rows.at(record) == slotMonth)
            ++record;
        else
            gaps.append(slot);
        slot = slot.addMonths(1);
    }
    return gaps;
}

QVariantList dayGaps(const QDateTime &first, const QDateTime &last, const QVector<qint64> &rows)
{
    QVariantList gaps;
    const qint64 lastMs = last.toMSecsSinceEpoch();
    int record = 0;
    QDateTime slot = first;
    qint64 slotMs = slot.toMSecsSinceEpoch();
    while (slotMs < lastMs && gaps.size() < ArchiveChecks::kMaxGaps) {
        if (record < rows.size() && rows.at(record) == slotMs)
            ++record;
        else
            gaps.append(slot);
        // The next midnight: the extra hour carries a 23-hour day (the
        // spring daylight-saving change) past midnight too.
        slot = slot.addDays(1).addSecs(3600);
        slot.setTime(QTime(0, 0));
        const qint64 nextMs = slot.toMSecsSinceEpoch();
        if (!slot.isValid() || nextMs <= slotMs)
            break;
        slotMs = nextMs;
    }
    return gaps;
}

QVariantList hourGaps(const QDateTime &first, const QDateTime &last, const QVector<qint64> &rows)
{
    QVariantList gaps;
    const qint64 firstMs = first.toMSecsSinceEpoch();
    const qint64 lastMs = last.toMSecsSinceEpoch();
    int record = 0;
    for (qint64 slotMs = firstMs; slotMs < lastMs && gaps.size() < ArchiveChecks::kMaxGaps; slotMs += kHourMs) {
        if (record < rows.size() && rows.at(record) == slotMs)
            ++record;
        else
            gaps.append(first.addMSecs(slotMs - firstMs));   // keeps the first row's kind of time
    }
    return gaps;
}

} // namespace

bool ArchiveChecks::checkCurrentData(const ZeltoTable &stored, const ZeltoTable &incoming)
{
    if (Database::getSetting(QStringLiteral("checkDateReset")).toBool()
        && stored.rowCount() > 0 && incoming.rowCount() > 0) {
        const QDateTime newFirst = cellDate(incoming, 0, incoming.columnIndex(kDate));
        const QDateTime storedLast = cellDate(stored, stored.rowCount() - 1, stored.columnIndex(kDate));
        // Re-reading up to a day of overlap is normal; data starting earlier
        // than that means the device's clock was set back.
        if (newFirst.isValid() && storedLast.isValid() && newFirst.secsTo(storedLast) > kDaySeconds) {
            return ZeltoSystem::instance()->fail(ZeltoStatus::conflict(
                tr("Обнаружен сброс даты и времени на %1").arg(newFirst.toString(QStringLiteral("dd.MM.yy hh:mm:ss")))));
        }
    }

    if (Database::getSetting(QStringLiteral("checkTimeDeviation")).toBool() && incoming.rowCount() > 0) {
        const QDateTime deviceTime = cellDate(incoming, 0, incoming.columnIndex(kDate));
        const QDateTime serverTime = cellDate(incoming, 0, incoming.columnIndex(QStringLiteral("sys_date")));
        if (deviceTime.isValid() && serverTime.isValid()) {
            const int limit = Database::getSetting(QStringLiteral("maxTimeDeviation")).toInt();
            const double minutes = std::fabs(double(deviceTime.secsTo(serverTime))) / 60.0;
            if (minutes > limit) {
                return ZeltoSystem::instance()->fail(ZeltoStatus::conflict(
                    tr("Время в приборе отличается от системного более чем на %1 мин.").arg(limit)));
            }
        }
    }
    return true;
}

QVariantMap ArchiveChecks::fillEntry(const QString &archiveName, const ZeltoTable &table)
{
    const int dateColumn = table.columnIndex(kDate);
    return entry(archiveName, table.rowCount(), cellDate(table, 0, dateColumn),
                 cellDate(table, table.rowCount() - 1, dateColumn), [&] { return rowMonths(table, dateColumn); },
                 [&] { return rowInstants(table, dateColumn); });
}

QVariantMap ArchiveChecks::fillEntry(const QString &archiveName, const QVector<qint64> &instants, Qt::TimeSpec timeSpec)
{
    auto dateAt = [&](int row) {
        return row >= 0 && row < instants.size() ? QDateTime::fromMSecsSinceEpoch(instants.at(row), timeSpec)
                                                 : QDateTime();
    };
    return entry(archiveName, instants.size(), dateAt(0), dateAt(instants.size() - 1),
                 [&] {
                     QVector<int> months(instants.size());
                     for (int row = 0; row < months.size(); ++row)
                         months[row] = monthIndex(dateAt(row).date());
                     return months;
                 },
                 [&] { return instants; });
}

QVariantMap ArchiveChecks::entry(const QString &archiveName, int size, const QDateTime &firstDate,
                                 const QDateTime &lastDate, const std::function<QVector<int>()> &months,
                                 const std::function<QVector<qint64>()> &instants)
{
    QVariantList gaps;
    if (firstDate.isValid() && lastDate.isValid()) {
        if (archiveName.startsWith(QLatin1String("month")))
            gaps = monthGaps(firstDate, lastDate, months());
        else if (archiveName.startsWith(QLatin1String("day")))
            gaps = dayGaps(firstDate, lastDate, instants());
        else if (archiveName.startsWith(QLatin1String("hour")))
            gaps = hourGaps(firstDate, lastDate, instants());
    }

    QVariantMap result;
    result.insert(QStringLiteral("firstDate"), firstDate.isValid() ? QVariant(firstDate) : QVariant());
    result.insert(QStringLiteral("lastDate"), lastDate.isValid() ? QVariant(lastDate) : QVariant());
    result.insert(QStringLiteral("size"), size);
    result.insert(QStringLiteral("gapCount"), gaps.size());
    result.insert(QStringLiteral("gaps"), gaps);
    return result;
}
