#pragma once

#include "zeltomarkers.h"

#include <QMap>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class ZeltoTable;
class ZeltoTableData;

// A (table, row) handle. It refers to its row by index, so it stays valid
// while rows are appended to the table. Row -1 stands for "the single row"
// of a table that has none yet: the first setValue creates it.
class ZeltoRecord
{
public:
    ZeltoRecord() = default;
    ZeltoRecord(ZeltoTable *table, int row);

    bool isValid() const;

    QVariant value(const QString &column) const;
    // Adds the column when the table lacks it. False on an invalid record.
    bool setValue(const QString &column, const QVariant &value);

private:
    bool materialize();
    int effectiveRow() const;  // -1 when the handle addresses no existing row

    ZeltoTable *m_table = nullptr;
    int m_row = -1;
};

// Named columns, rows of variants. A copyable value with implicit sharing.
// Rows may hold fewer cells than there are columns: missing cells read as
// invalid variants, so appending a column does not touch every row.
class ZeltoTable
{
public:
    ZeltoTable();
    ZeltoTable(const ZeltoTable &other);
    ZeltoTable(ZeltoTable &&other) noexcept;
    explicit ZeltoTable(const QStringList &columns);
    ~ZeltoTable();
    ZeltoTable &operator=(const ZeltoTable &other);
    ZeltoTable &operator=(ZeltoTable &&other) noexcept;

    bool operator==(const ZeltoTable &other) const;
    bool operator!=(const ZeltoTable &other) const { return !(*this == other); }

    // Columns
    int columnCount() const;
    QStringList columnNames() const;
    QString columnName(int column) const;
    int columnIndex(const QString &name) const;   // -1 when absent
    bool containsColumn(const QString &name) const;
    int appendColumn(const QString &name);          // index of the (possibly existing) column
    void appendColumns(const QStringList &names);   // existing columns stay
    bool removeColumn(const QString &name);

    // Rows
    int rowCount() const;
    bool isEmpty() const { return rowCount() == 0; }
    int appendRow();                                 // index of the new, empty row
    int appendRow(const QVariantList &values);       // values in column order
    int appendRow(QVector<QVariant> &&cells);        // the same, taken as they are (cut to the columns)
    int appendRow(const QVariantMap &values);        // adds missing columns
    bool assignRow(int row, const QVariantMap &values);
    bool removeRow(int row);
    void clear();                                    // rows and columns

    // Cells
    QVariant value(int row, int column) const;
    QVariant value(int row, const QString &column) const;
    bool setValue(int row, int column, const QVariant &value);
    bool setValue(int row, const QString &column, const QVariant &value); // adds the column
    QVariantMap toMap(int row) const;
    QVariantList rowValues(int row) const;          // padded to columnCount
    QVariantList columnValues(const QString &column) const;

    ZeltoRecord record(int row);

    // Search: first row at or after `from` whose cell equals value, else -1.
    // Numbers compare by value whatever their type, date-times by instant.
    int findRow(const QString &column, const QVariant &value, int from = 0) const;

    // Rows whose cell lies between the bounds, both inclusive, in table order.
    // An invalid bound leaves that side open.
    ZeltoTable filter(const QString &column, const QVariant &from, const QVariant &to) const;
    // Stable sort by one column; nulls first when ascending.
    void sort(const QString &column, bool ascending = true);

    // By a key column: every row of `other` replaces the values of the row with
    // the same key, or (merge only) is appended. Columns of either table are
    // kept; a key then occurs once.
    void merge(const ZeltoTable &other, const QString &keyColumn);
    void update(const ZeltoTable &other, const QString &keyColumn);

    // Raw access for codecs: the row's stored cells (may be shorter than columnCount).
    const QVector<QVariant> &rowCells(int row) const;
    // Replace the whole content at once (codecs). Rows longer than columns are cut.
    // False (and an empty table) when column names repeat.
    bool setContent(const QStringList &columns, QVector<QVector<QVariant>> &&rows);

private:
    void mergeOrUpdate(const ZeltoTable &other, const QString &keyColumn, bool appendMissing);
    ZeltoTableData *writable();

    QSharedDataPointer<ZeltoTableData> d;
};

typedef QMap<QString, ZeltoTable> ZeltoTableMap;

QDebug operator<<(QDebug debug, const ZeltoTable &table);

// One pointer that may be moved in memory: variants hold a table inline.
Q_DECLARE_TYPEINFO(ZeltoTable, Q_MOVABLE_TYPE);

Q_DECLARE_METATYPE(ZeltoTable)
Q_DECLARE_METATYPE(ZeltoTableMap)

namespace Zelto {
// Registers the meta-types, their comparators and conversions. Called from a
// static initialiser of the library; safe to call again.
void registerTypes();
// Compares two cell values for sorting: nulls first, numbers by value,
// date-times by instant, text by code points, other types by type id.
int compareValues(const QVariant &a, const QVariant &b);
// True for the numeric variant types (bool excluded).
bool isNumber(const QVariant &v);
}
