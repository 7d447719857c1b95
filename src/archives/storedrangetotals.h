#pragma once

#include <QDate>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <memory>

class StoredDataReader;

// A node's range totals for group totals read straight from the stored
// bytes of its archives: the range's cells of each parameter decoded into
// doubles, no table of variants built, the counters at the ends from the
// record of each end's midnight read in place (else from the records decoded
// whole and carried over the daily rows in between, or derived from the
// current reading, by TotalizerReadings).
// Where it covers the node it gives what ArchiveReports::rangeTotals gives
// there, cell for cell and type for type; the rest it declines, and the
// caller takes that general path: open bounds, RNH7 meters (the range's end
// moves with their current data), readings derived from the current reading
// daily archives not in the current stored format or not in date order.
//
// One object serves the nodes of one group total in turn: what their
// archives share (midnights, record ends, what the catalogue says of their
// columns) is worked out once, and the tables and buffers each node is read
// with are kept from node to node. Not for use from two threads at once:
// each worker of a group total has its own.
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
        QVector<QPair<int, QVariant>> cells;   // the totals row's cells in order (by columns()), without "date"
    };

    // What compute() reads of a node: its model, which archives it holds
    // (the has_<archive> columns of the node list) and the stored bytes of
    // the archives it may use.
    struct Node
    {
        int id = 0;
        QString modelCode;
        bool hasDayTotals = false, hasMonthTotals = false, hasMonthData = false, hasCurrentData = false;
        QVariant dayData, dayTotals, monthTotals, monthData, currentData;   // as the row holds them
    };

    // The archive columns of Node, in the order of its members.
    static const QStringList &archives();

    // For the days from..to; dimensionColumns: the columns whose newest
    // daily value the totals carry.
    StoredRangeTotals(const QDate &from, const QDate &to, const QStringList &dimensionColumns);
    ~StoredRangeTotals();
    StoredRangeTotals(const StoredRangeTotals &) = delete;
    StoredRangeTotals &operator=(const StoredRangeTotals &) = delete;

    QDate from() const;
    QDate to() const;
    // The names of the columns of the totals computed so far, by the number Totals gives them.
    const QStringList &columns() const;

    // The node's totals into out. Readings derived from the current reading
    // take the hourly rows of its day from database (the server's, or a
    // worker's own connection). The node's bytes are not kept past the call.
    Outcome compute(StoredDataReader &database, const Node &node, Totals &out);

    // What the nodes share and the tables each is read with (defined with compute()).
    struct State;

private:
    std::unique_ptr<State> m_state;
};
