#pragma once

#include "simdevice.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>

// What one job reads from a simulated meter: the archive set the data
// server saves. Every job returns "info" (model, number, version) and
// "current_data"; a job that asks for more than "currentData" also returns
// "setting_data". Asked names: "monthData" (month_data, and month_totals
// where the model keeps totals), "dayData" (day_data, day_totals), "hourData"
// (hour_data), "journalData" (journal_data); others are ignored.
//
// Records run from the first date (or `depth` days back when there is none,
// and no later than `overlap` days back) to the last complete interval
// before now. A meter keeps at most 366 days of hours, 1100 days of days
// and 120 months.
class SimArchives
{
public:
    struct Reach
    {
        int depthDays;
        int overlapDays;
    };

    static ZeltoTableMap read(const SimDevice &device, const QStringList &data, const QDateTime &firstDate,
                              const QDateTime &now, const Reach &reach);
    // The count of records of each table, for the job's log.
    static QStringList summary(const ZeltoTableMap &tables);
};
