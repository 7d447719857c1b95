#pragma once

#include <QDate>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <QVector>

// A node's range totals for group totals read straight from the stored
// bytes of its archives: the range's cells of each parameter decoded into
// doubles, the counters at the ends from the record of each end's midnight,
// no table of variants built. Where it covers the node it gives what
// ArchiveReports::rangeTotals gives there, cell for cell and type for type;
// the rest it declines, and the caller takes that general path: open
// bounds, RNH7 meters (the range's end moves with their current data),
// archives not in the current stored format or not in date order, and ends
// without a record of their own midnight (readings carried across days from
// another record, or derived from the current reading: so a range that ends
// after the newest daily row, with monthly records, mostly declines).
class StoredRangeTotals
{
public:
    enum Outcome {
        Declined,   // the general path must say
        NoRow,      // no daily row in the range: the node has no totals
        Done,
    };

    struct Totals
    {
        QVariant firstDate, lastDate;                // of the range's first and last daily row
        QVector<QPair<QString, QVariant>> cells;     // the totals row's cells in order, without "date"
    };

    // The archive columns compute() wants in stored, and the columns of the
    // node list it wants in node.
    static const QStringList &archives();
    static const QStringList &nodeColumns();

    // node: its row of the node list (model_code, has_<archive>); stored:
    // the archives() of the node's row as stored; dimensionColumns: the
    // columns whose newest daily value the totals carry.
    static Outcome compute(const QVariantMap &node, const QVariantMap &stored, const QDate &from, const QDate &to,
                           const QStringList &dimensionColumns, Totals &out);
};
