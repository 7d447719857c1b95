#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QVector>

// The "date" column that keys every archive table: what a well-formed table
// looks like, keeping a table in date order, and picking a date range out of
// a sorted one. Dates are compared by instant, as ZeltoTable does; each cell
// is converted once, since a local-time conversion per comparison would
// dominate work on a long hourly archive.
class ArchiveDates
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveDates)

public:
    static const QString &column();

    // The last moment of a date that a day range takes in (23:59:59 local time).
    static QDateTime endOfDay(const QDate &date);

    // True when every row has a valid date-time in "date" (a table without
    // rows needs no column); otherwise refused, naming the archive and the row.
    static ZeltoStatus validate(const QString &archive, const ZeltoTable &table);

    // Merges incoming into stored by date, then sorts stored by date: the
    // result of ZeltoTable::merge followed by sort(). Columns of either table
    // are kept; a stored row with a date of incoming takes that row's values
    // in incoming's columns; other incoming rows are appended.
    static void merge(ZeltoTable &stored, const ZeltoTable &incoming);

    // Stable sort by date ascending, as ZeltoTable::sort; a table already in
    // order is left as it is (and so not copied).
    static void sort(ZeltoTable &table);

    // The rows of a table sorted by date whose date lies between the bounds,
    // both inclusive; an invalid bound leaves that side open. The same rows
    // as ZeltoTable::filter, found by binary search; a table with rows
    // without a date is filtered row by row.
    static ZeltoTable range(const ZeltoTable &table, const QDateTime &from, const QDateTime &to);

    // The instants of the rows' dates; false when a row has none.
    static bool instants(const ZeltoTable &table, QVector<qint64> &out);

private:
    // Sorts by the given instants of its rows, unless they are in order.
    static void sortByKeys(ZeltoTable &table, const QVector<qint64> &keys);
};
