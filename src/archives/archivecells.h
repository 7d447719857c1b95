#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QVariant>

// What a cell of an archive (current data, hourly, daily and monthly
// records and totals) may hold: a number (true and false among them),
// text, a date or a date-time, nothing, or one of the markers ZeltoUnused
// and ZeltoOutOfRange. Reports, checks, exports and imports read nothing
// else, so every path that stores archives (the saveArchives command, a
// polling run's result, node import) refuses any other cell here before it
// writes anything.
class ArchiveCells
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveCells)

public:
    static bool isAllowed(const QVariant &cell);
    // Every cell of the archives among tables (other tables are not
    // looked at); refused at the first cell that is not allowed, naming the
    // archive, the row (from 1) and the column.
    static ZeltoStatus check(const ZeltoTableMap &tables);
};
