#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QVector>
#include <QString>
#include <QVariantMap>

#include <functional>

class Database;

// Consistency work done while archives are merged: the device clock tests
// run on newly read current data before it is stored, and the gap scan that
// describes how completely a stored archive is filled.
class ArchiveChecks
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveChecks)

public:
    // Refuses newly read current data whose device clock was reset (the data
    // starts more than a day before the stored data ends) or deviates from
    // the server clock ("sys_date") by more than "maxTimeDeviation" minutes.
    // The settings "checkDateReset" and "checkTimeDeviation" switch the tests
    // on; they are read anew from database on every call. A failed test is a
    // conflict saying which.
    static ZeltoStatus checkCurrentData(Database &database, const ZeltoTable &stored, const ZeltoTable &incoming);

    // The fill entry of a stored archive sorted by "date": "firstDate",
    // "lastDate", "size", "gapCount" and "gaps" (the expected record dates
    // without a row). Month, day and hour archives are scanned by the
    // beginning of their name; other archives list no gaps.
    static QVariantMap fillEntry(const QString &archiveName, const ZeltoTable &table);
    // The same entry for an archive whose rows' dates are these instants (ms
    // since the epoch), all local time or all UTC as timeSpec says.
    static QVariantMap fillEntry(const QString &archiveName, const QVector<qint64> &instants, Qt::TimeSpec timeSpec);

    // A device with a wild clock (a row dated decades ahead) must not stall
    // the save: the scan stops after listing this many gaps.
    static const int kMaxGaps = 100000;

private:
    static QVariantMap entry(const QString &archiveName, int size, const QDateTime &firstDate,
                             const QDateTime &lastDate, const std::function<QVector<int>()> &months,
                             const std::function<QVector<qint64>()> &instants);
};
