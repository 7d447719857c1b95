#pragma once

#include "zeltotable.h"

#include <QDate>

class MetadataCatalogue;

// Estimated days that carry a month whose daily archive stops short (the
// meter not yet read, or unreachable for the last days) to its end, so that
// a monthly report covers the whole month. Each added row is marked
// "calc" = true.
class TailDays
{
public:
    static const QString &calcColumn();

    // True when from is the 1st and to the last day of one month.
    static bool isWholeMonth(const QDate &from, const QDate &to);

    // Appends one row per day from the day after the last row up to to,
    // when days (the whole daily archive, sorted) has more than three rows
    // and its last row lies before to. Each added row
    // holds, for the parameters the catalogue knows and the last row has:
    // 0 for flag and error parameters, the mean of the last baseDays rows
    // for accumulating and averaged ones, the last row's value for the
    // others. The number of rows added.
    static int extend(ZeltoTable &days, const QDate &to, int baseDays,
                      const MetadataCatalogue &catalogue);
};
