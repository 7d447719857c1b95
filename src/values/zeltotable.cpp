#include "zeltotable.h"

#include "zeltokeyindex.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QSharedPointer>

#include <algorithm>
#include <cmath>

// ---------------------------------------------------------------------------
// Shared data

class ZeltoTableData : public QSharedData
{
public:
    ZeltoTableData() = default;
    ZeltoTableData(const ZeltoTableData &other)
        : QSharedData(other), columns(other.columns), index(other.index), rows(other.rows)
    {
    }

    // Lookup indexes are built on demand by const searches and dropped by any
    // change. Several threads may search one shared table, hence the lock.
    QSharedPointer<const ZeltoKeyIndex> keyIndex(int column) const
    {
        QMutexLocker locker(&cacheMutex);
        auto it = cache.constFind(column);
        if (it != cache.constEnd())
            return it.value();
        auto built = QSharedPointer<ZeltoKeyIndex>::create();
        for (int r = 0; r < rows.size(); ++r) {
            const QVector<QVariant> &cells = rows.at(r);
            built->add(column < cells.size() ? cells.at(column) : QVariant(), r);
        }
        cache.insert(column, built);
        cacheUsed.storeRelease(1);
        return built;
    }

    void dropCache()
    {
        if (cacheUsed.loadAcquire()) {
            QMutexLocker locker(&cacheMutex);
            cache.clear();
            cacheUsed.storeRelease(0);
        }
    }

    void rebuildColumnIndex()
    {
        index.clear();
        index.reserve(columns.size());
        for (int c = 0; c < columns.size(); ++c)
            index.insert(columns.at(c), c);
    }

    QStringList columns;
    QHash<QString, int> index;
    QVector<QVector<QVariant>> rows;

    mutable QMutex cacheMutex;
    mutable QHash<int, QSharedPointer<const ZeltoKeyIndex>> cache;
    mutable QAtomicInt cacheUsed;
};

namespace {

// Below this many rows a plain scan beats building an index.
const int kIndexThreshold = 16;

// Cells are equal when they hold the same type and value; a NaN equals a NaN
// so that a table holding one still equals its own copy.
bool sameCell(const QVariant &x, const QVariant &y)
{
    if (x.userType() != y.userType())
        return false;
    if (x.userType() == QMetaType::Double) {
        const double a = x.toDouble();
        const double b = y.toDouble();
        return a == b || (std::isnan(a) && std::isnan(b));
    }
    return x == y;
}

const QVector<QVariant> &emptyRow()
{
    static const QVector<QVariant> empty;
    return empty;
}

} // namespace

// ---------------------------------------------------------------------------
// ZeltoTable

ZeltoTable::ZeltoTable() : d(new ZeltoTableData) {}
ZeltoTable::ZeltoTable(const ZeltoTable &other) = default;
ZeltoTable::ZeltoTable(ZeltoTable &&other) noexcept = default;
ZeltoTable::~ZeltoTable() = default;
ZeltoTable &ZeltoTable::operator=(const ZeltoTable &other) = default;
ZeltoTable &ZeltoTable::operator=(ZeltoTable &&other) noexcept = default;

ZeltoTable::ZeltoTable(const QStringList &columns) : d(new ZeltoTableData)
{
    appendColumns(columns);
}

ZeltoTableData *ZeltoTable::writable()
{
    // A moved-from table has no data; give it a fresh one.
    if (!d)
        d = new ZeltoTableData;
    ZeltoTableData *data = d.data(); // detaches when shared
    data->dropCache();
    return data;
}

bool ZeltoTable::operator==(const ZeltoTable &other) const
{
    if (d == other.d)
        return true;
    if (columnNames() != other.columnNames() || rowCount() != other.rowCount())
        return false;
    const int columnTotal = columnCount();
    for (int r = 0; r < rowCount(); ++r) {
        const QVector<QVariant> &a = rowCells(r);
        const QVector<QVariant> &b = other.rowCells(r);
        for (int c = 0; c < columnTotal; ++c) {
            const QVariant &x = c < a.size() ? a.at(c) : QVariant();
            const QVariant &y = c < b.size() ? b.at(c) : QVariant();
            if (!sameCell(x, y))
                return false;
        }
    }
    return true;
}

int ZeltoTable::columnCount() const
{
    return d ? d->columns.size() : 0;
}

QStringList ZeltoTable::columnNames() const
{
    return d ? d->columns : QStringList();
}

QString ZeltoTable::columnName(int column) const
{
    return column >= 0 && column < columnCount() ? d->columns.at(column) : QString();
}

int ZeltoTable::columnIndex(const QString &name) const
{
    return d ? d->index.value(name, -1) : -1;
}

bool ZeltoTable::containsColumn(const QString &name) const
{
    return columnIndex(name) >= 0;
}

int ZeltoTable::appendColumn(const QString &name)
{
    const int existing = columnIndex(name);
    if (existing >= 0)
        return existing;
    ZeltoTableData *data = writable();
    data->columns.append(name);
    data->index.insert(name, data->columns.size() - 1);
    return data->columns.size() - 1;
}

void ZeltoTable::appendColumns(const QStringList &names)
{
    for (const QString &name : names)
        appendColumn(name);
}

bool ZeltoTable::removeColumn(const QString &name)
{
    const int column = columnIndex(name);
    if (column < 0)
        return false;
    ZeltoTableData *data = writable();
    data->columns.removeAt(column);
    for (QVector<QVariant> &cells : data->rows) {
        if (column < cells.size())
            cells.remove(column);
    }
    data->rebuildColumnIndex();
    return true;
}

int ZeltoTable::rowCount() const
{
    return d ? d->rows.size() : 0;
}

int ZeltoTable::appendRow()
{
    ZeltoTableData *data = writable();
    data->rows.append(QVector<QVariant>());
    return data->rows.size() - 1;
}

int ZeltoTable::appendRow(const QVariantList &values)
{
    ZeltoTableData *data = writable();
    QVector<QVariant> cells;
    const int count = qMin(values.size(), data->columns.size());
    cells.reserve(count);
    for (int c = 0; c < count; ++c)
        cells.append(values.at(c));
    data->rows.append(cells);
    return data->rows.size() - 1;
}

int ZeltoTable::appendRow(QVector<QVariant> &&cells)
{
    ZeltoTableData *data = writable();
    if (cells.size() > data->columns.size())
        cells.resize(data->columns.size());
    data->rows.append(std::move(cells));
    return data->rows.size() - 1;
}

int ZeltoTable::appendRow(const QVariantMap &values)
{
    const int row = appendRow();
    assignRow(row, values);
    return row;
}

bool ZeltoTable::assignRow(int row, const QVariantMap &values)
{
    if (row < 0 || row >= rowCount())
        return false;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        setValue(row, it.key(), it.value());
    return true;
}

bool ZeltoTable::removeRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    writable()->rows.remove(row);
    return true;
}

void ZeltoTable::clear()
{
    ZeltoTableData *data = writable();
    data->rows.clear();
    data->columns.clear();
    data->index.clear();
}

QVariant ZeltoTable::value(int row, int column) const
{
    if (row < 0 || row >= rowCount())
        return QVariant();
    const QVector<QVariant> &cells = d->rows.at(row);
    return column >= 0 && column < cells.size() ? cells.at(column) : QVariant();
}

QVariant ZeltoTable::value(int row, const QString &column) const
{
    return value(row, columnIndex(column));
}

bool ZeltoTable::setValue(int row, int column, const QVariant &value)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return false;
    QVector<QVariant> &cells = writable()->rows[row];
    if (column >= cells.size()) {
        if (!value.isValid())
            return true; // a missing cell already reads as null
        cells.resize(column + 1);
    }
    cells[column] = value;
    return true;
}

bool ZeltoTable::setValue(int row, const QString &column, const QVariant &value)
{
    if (row < 0 || row >= rowCount())
        return false;
    return setValue(row, appendColumn(column), value);
}

QVariantMap ZeltoTable::toMap(int row) const
{
    QVariantMap map;
    if (row < 0 || row >= rowCount())
        return map;
    const QVector<QVariant> &cells = d->rows.at(row);
    for (int c = 0; c < columnCount(); ++c)
        map.insert(d->columns.at(c), c < cells.size() ? cells.at(c) : QVariant());
    return map;
}

QVariantList ZeltoTable::rowValues(int row) const
{
    QVariantList list;
    if (row < 0 || row >= rowCount())
        return list;
    const QVector<QVariant> &cells = d->rows.at(row);
    list.reserve(columnCount());
    for (int c = 0; c < columnCount(); ++c)
        list.append(c < cells.size() ? cells.at(c) : QVariant());
    return list;
}

QVariantList ZeltoTable::columnValues(const QString &column) const
{
    QVariantList list;
    const int c = columnIndex(column);
    if (c < 0)
        return list;
    list.reserve(rowCount());
    for (const QVector<QVariant> &cells : d->rows)
        list.append(c < cells.size() ? cells.at(c) : QVariant());
    return list;
}

ZeltoRecord ZeltoTable::record(int row)
{
    return ZeltoRecord(this, row);
}

const QVector<QVariant> &ZeltoTable::rowCells(int row) const
{
    if (row < 0 || row >= rowCount())
        return emptyRow();
    return d->rows.at(row);
}

bool ZeltoTable::setContent(const QStringList &columns, QVector<QVector<QVariant>> &&rows)
{
    ZeltoTableData *data = writable();
    data->columns = columns;
    data->rebuildColumnIndex();
    if (data->index.size() != columns.size()) {
        data->columns.clear();
        data->index.clear();
        data->rows.clear();
        return false;
    }
    for (QVector<QVariant> &cells : rows) {
        if (cells.size() > columns.size())
            cells.resize(columns.size());
    }
    data->rows = std::move(rows);
    return true;
}

int ZeltoTable::findRow(const QString &column, const QVariant &value, int from) const
{
    const int c = columnIndex(column);
    if (c < 0)
        return -1;
    from = qMax(from, 0);
    const int total = rowCount();
    if (total - from <= kIndexThreshold) {
        for (int r = from; r < total; ++r) {
            if (ZeltoKeyIndex::sameKey(this->value(r, c), value))
                return r;
        }
        return -1;
    }
    return d->keyIndex(c)->find(value, from, [this, c](int r) -> const QVariant & {
        const QVector<QVariant> &cells = d->rows.at(r);
        static const QVariant null;
        return c < cells.size() ? cells.at(c) : null;
    });
}

ZeltoTable ZeltoTable::filter(const QString &column, const QVariant &from, const QVariant &to) const
{
    ZeltoTable result(columnNames());
    const int c = columnIndex(column);
    if (c < 0)
        return result;
    const bool openLow = !from.isValid();
    const bool openHigh = !to.isValid();
    ZeltoTableData *out = result.writable();
    for (const QVector<QVariant> &cells : d->rows) {
        const QVariant &cell = c < cells.size() ? cells.at(c) : QVariant();
        if (!cell.isValid()) {
            if (openLow && openHigh)
                out->rows.append(cells);
            continue;
        }
        if (!openLow && Zelto::compareValues(cell, from) < 0)
            continue;
        if (!openHigh && Zelto::compareValues(cell, to) > 0)
            continue;
        out->rows.append(cells);
    }
    return result;
}

void ZeltoTable::sort(const QString &column, bool ascending)
{
    const int c = columnIndex(column);
    if (c < 0 || rowCount() < 2)
        return;
    ZeltoTableData *data = writable();
    static const QVariant null;
    auto key = [data, c](int r) -> const QVariant & {
        const QVector<QVariant> &cells = data->rows.at(r);
        return c < cells.size() ? cells.at(c) : null;
    };
    QVector<int> order(data->rows.size());
    for (int r = 0; r < order.size(); ++r)
        order[r] = r;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int cmp = Zelto::compareValues(key(a), key(b));
        return ascending ? cmp < 0 : cmp > 0;
    });
    QVector<QVector<QVariant>> sorted;
    sorted.reserve(order.size());
    for (int r : order)
        sorted.append(std::move(data->rows[r]));
    data->rows = std::move(sorted);
}

void ZeltoTable::merge(const ZeltoTable &other, const QString &keyColumn)
{
    mergeOrUpdate(other, keyColumn, true);
}

void ZeltoTable::update(const ZeltoTable &other, const QString &keyColumn)
{
    mergeOrUpdate(other, keyColumn, false);
}

void ZeltoTable::mergeOrUpdate(const ZeltoTable &other, const QString &keyColumn, bool appendMissing)
{
    const int otherKey = other.columnIndex(keyColumn);
    if (otherKey < 0 || other.rowCount() == 0)
        return;
    // Keep a copy of `other` alive: it may share data with this table.
    const ZeltoTable source = other;
    QVector<int> target(source.columnCount());
    for (int c = 0; c < source.columnCount(); ++c)
        target[c] = appendColumn(source.columnName(c));
    const int key = target[otherKey];
    const int columnTotal = columnCount();

    ZeltoTableData *data = writable();
    ZeltoKeyIndex keys;
    for (int r = 0; r < data->rows.size(); ++r) {
        const QVector<QVariant> &cells = data->rows.at(r);
        keys.add(key < cells.size() ? cells.at(key) : QVariant(), r);
    }
    static const QVariant null;
    auto cellOf = [data, key](int r) -> const QVariant & {
        const QVector<QVariant> &cells = data->rows.at(r);
        return key < cells.size() ? cells.at(key) : null;
    };

    for (int r = 0; r < source.rowCount(); ++r) {
        const QVector<QVariant> &incoming = source.rowCells(r);
        const QVariant &keyValue = otherKey < incoming.size() ? incoming.at(otherKey) : null;
        int row = keys.find(keyValue, 0, cellOf);
        if (row < 0) {
            if (!appendMissing)
                continue;
            data->rows.append(QVector<QVariant>());
            row = data->rows.size() - 1;
            keys.add(keyValue, row);
        }
        QVector<QVariant> &cells = data->rows[row];
        if (cells.size() < columnTotal)
            cells.resize(columnTotal);
        for (int c = 0; c < target.size(); ++c)
            cells[target[c]] = c < incoming.size() ? incoming.at(c) : QVariant();
    }
}

QDebug operator<<(QDebug debug, const ZeltoTable &table)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "ZeltoTable(" << table.columnNames();
    for (int r = 0; r < table.rowCount(); ++r)
        debug << ", " << table.rowValues(r);
    debug << ')';
    return debug;
}

// ---------------------------------------------------------------------------
// ZeltoRecord

ZeltoRecord::ZeltoRecord(ZeltoTable *table, int row) : m_table(table), m_row(row) {}

int ZeltoRecord::effectiveRow() const
{
    if (!m_table)
        return -1;
    if (m_row == -1)
        return m_table->rowCount() == 1 ? 0 : -1;
    return m_row < m_table->rowCount() ? m_row : -1;
}

bool ZeltoRecord::isValid() const
{
    if (!m_table)
        return false;
    if (m_row == -1)
        return m_table->rowCount() <= 1;
    return m_row >= 0 && m_row < m_table->rowCount();
}

QVariant ZeltoRecord::value(const QString &column) const
{
    const int row = effectiveRow();
    return row >= 0 ? m_table->value(row, column) : QVariant();
}

bool ZeltoRecord::materialize()
{
    if (!isValid())
        return false;
    if (m_row == -1) {
        if (m_table->rowCount() == 0)
            m_table->appendRow();
        m_row = 0;
    }
    return true;
}

bool ZeltoRecord::setValue(const QString &column, const QVariant &value)
{
    return materialize() && m_table->setValue(m_row, column, value);
}

// ---------------------------------------------------------------------------
// Helpers and registration

namespace Zelto {

bool isNumber(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

namespace {

// Sort ranks of the kinds of value; values of different kinds order by rank.
enum Rank { RankNull, RankBool, RankNumber, RankDateTime, RankDate, RankTime, RankString, RankOther };

Rank rankOf(const QVariant &v)
{
    if (!v.isValid())
        return RankNull;
    switch (v.userType()) {
    case QMetaType::Bool:
        return RankBool;
    case QMetaType::QDateTime:
        return RankDateTime;
    case QMetaType::QDate:
        return RankDate;
    case QMetaType::QTime:
        return RankTime;
    case QMetaType::QString:
        return RankString;
    default:
        return isNumber(v) ? RankNumber : RankOther;
    }
}

template <typename T>
int threeWay(const T &a, const T &b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool isIntegral(const QVariant &v)
{
    const int type = v.userType();
    return type != QMetaType::Double && type != QMetaType::Float;
}

int compareNumbers(const QVariant &a, const QVariant &b)
{
    if (isIntegral(a) && isIntegral(b)) {
        const bool aUnsigned = a.userType() == QMetaType::ULongLong || a.userType() == QMetaType::ULong;
        const bool bUnsigned = b.userType() == QMetaType::ULongLong || b.userType() == QMetaType::ULong;
        if (aUnsigned || bUnsigned) {
            // Compare in unsigned space only when both sides are non-negative.
            const qlonglong sa = aUnsigned ? 0 : a.toLongLong();
            const qlonglong sb = bUnsigned ? 0 : b.toLongLong();
            if (sa < 0 || sb < 0)
                return threeWay(sa, sb);
            return threeWay(a.toULongLong(), b.toULongLong());
        }
        return threeWay(a.toLongLong(), b.toLongLong());
    }
    const double x = a.toDouble();
    const double y = b.toDouble();
    if (std::isnan(x) || std::isnan(y))
        return threeWay(std::isnan(x) ? 1 : 0, std::isnan(y) ? 1 : 0); // NaN last
    return threeWay(x, y);
}

} // namespace

int compareValues(const QVariant &a, const QVariant &b)
{
    Rank ra = rankOf(a);
    Rank rb = rankOf(b);
    // A date bound against date-times means the start of that day.
    if (ra == RankDateTime && rb == RankDate)
        return compareValues(a, QVariant(b.toDate().startOfDay()));
    if (ra == RankDate && rb == RankDateTime)
        return compareValues(QVariant(a.toDate().startOfDay()), b);
    if (ra != rb)
        return threeWay(int(ra), int(rb));
    switch (ra) {
    case RankNull:
        return 0;
    case RankBool:
        return threeWay(int(a.toBool()), int(b.toBool()));
    case RankNumber:
        return compareNumbers(a, b);
    case RankDateTime: {
        const QDateTime x = a.toDateTime();
        const QDateTime y = b.toDateTime();
        if (!x.isValid() || !y.isValid())
            return threeWay(int(x.isValid()), int(y.isValid()));
        return threeWay(x.toMSecsSinceEpoch(), y.toMSecsSinceEpoch());
    }
    case RankDate:
        return threeWay(a.toDate().toJulianDay(), b.toDate().toJulianDay());
    case RankTime:
        return threeWay(a.toTime().msecsSinceStartOfDay(), b.toTime().msecsSinceStartOfDay());
    case RankString:
        return a.toString().compare(b.toString());
    case RankOther:
        break;
    }
    return threeWay(a.userType(), b.userType());
}

namespace {

QVariantMap tableMapToVariantMap(const ZeltoTableMap &tables)
{
    QVariantMap map;
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it)
        map.insert(it.key(), QVariant::fromValue(it.value()));
    return map;
}

// Entries that are not tables are left out.
ZeltoTableMap variantMapToTableMap(const QVariantMap &map)
{
    ZeltoTableMap tables;
    const int tableType = qMetaTypeId<ZeltoTable>();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it.value().userType() == tableType)
            tables.insert(it.key(), it.value().value<ZeltoTable>());
    }
    return tables;
}

QString outOfRangeText(const ZeltoOutOfRange &) { return QStringLiteral("OutOfRange"); }
QString unusedText(const ZeltoUnused &) { return QStringLiteral("Unused"); }

} // namespace

void registerTypes()
{
    static QBasicAtomicInt done = Q_BASIC_ATOMIC_INITIALIZER(0);
    if (!done.testAndSetOrdered(0, 1))
        return;
    qRegisterMetaType<ZeltoTable>("ZeltoTable");
    qRegisterMetaType<ZeltoTableMap>("ZeltoTableMap");
    qRegisterMetaType<ZeltoOutOfRange>("ZeltoOutOfRange");
    qRegisterMetaType<ZeltoUnused>("ZeltoUnused");
    QMetaType::registerEqualsComparator<ZeltoTable>();
    QMetaType::registerEqualsComparator<ZeltoTableMap>();
    QMetaType::registerEqualsComparator<ZeltoOutOfRange>();
    QMetaType::registerEqualsComparator<ZeltoUnused>();
    QMetaType::registerDebugStreamOperator<ZeltoTable>();
    QMetaType::registerConverter<ZeltoTableMap, QVariantMap>(tableMapToVariantMap);
    QMetaType::registerConverter<QVariantMap, ZeltoTableMap>(variantMapToTableMap);
    QMetaType::registerConverter<ZeltoOutOfRange, QString>(outOfRangeText);
    QMetaType::registerConverter<ZeltoUnused, QString>(unusedText);
}

} // namespace Zelto

static void registerZeltoTypes()
{
    Zelto::registerTypes();
}
Q_CONSTRUCTOR_FUNCTION(registerZeltoTypes)
