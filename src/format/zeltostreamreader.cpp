#include "zeltostreamreader.h"

#include "zeltodoublepacker.h"
#include "zeltotable.h"
#include "zeltoutf8.h"

#include <QSet>
#include <QStringList>
#include <QTimeZone>
#include <QtEndian>

#include <vector>

using namespace ZeltoStreamFormat;

bool ZeltoStreamReader::pastEnd(const Cursor &c)
{
    if (c.withinColumn)
        return corrupt(c, QStringLiteral("значение выходит за границы столбца таблицы"));
    m_status = ZeltoStream::ReadPastEnd;
    m_error = QStringLiteral("неожиданный конец данных (позиция %1)").arg(position(c));
    return false;
}

bool ZeltoStreamReader::corrupt(const Cursor &c, const QString &what)
{
    m_status = ZeltoStream::ReadCorruptData;
    m_error = QStringLiteral("данные повреждены: %1 (позиция %2)").arg(what).arg(position(c));
    return false;
}

bool ZeltoStreamReader::readByte(Cursor &c, uchar &out)
{
    if (c.p >= c.end)
        return pastEnd(c);
    out = *c.p++;
    return true;
}

bool ZeltoStreamReader::readVarint(Cursor &c, quint64 &out)
{
    switch (ZeltoStreamFormat::readVarint(c.p, c.end, out)) {
    case VarintRead::Ok:
        return true;
    case VarintRead::Truncated:
        return pastEnd(c);
    default:
        return corrupt(c, QStringLiteral("число длиннее 64 бит"));
    }
}

bool ZeltoStreamReader::readZigzag(Cursor &c, qint64 &out)
{
    quint64 raw = 0;
    if (!readVarint(c, raw))
        return false;
    out = unzigzag(raw);
    return true;
}

// A count of elements that take at least minBytesEach bytes each: checked
// against the bytes left, so that nothing is reserved for elements that
// cannot be there.
bool ZeltoStreamReader::readDouble(Cursor &c, double &out)
{
    if (c.left() < 8)
        return pastEnd(c);
    quint64 bits;
    std::memcpy(&bits, c.p, 8);
    c.p += 8;
    bits = qFromLittleEndian(bits);
    std::memcpy(&out, &bits, 8);
    return true;
}

bool ZeltoStreamReader::readCount(Cursor &c, int minBytesEach, int &out)
{
    quint64 count = 0;
    if (!readVarint(c, count))
        return false;
    if (count > quint64(std::numeric_limits<int>::max()))
        return corrupt(c, QStringLiteral("недопустимое число элементов %1").arg(count));
    if (count > quint64(c.left()) / quint64(minBytesEach))
        return pastEnd(c);
    out = int(count);
    return true;
}

bool ZeltoStreamReader::readText(Cursor &c, const char *&data, int &size, bool &isNull)
{
    quint64 length = 0;
    if (!readVarint(c, length))
        return false;
    isNull = length == 0;
    if (isNull) {
        data = nullptr;
        size = 0;
        return true;
    }
    --length;
    if (length > quint64(c.left()))
        return pastEnd(c);
    data = reinterpret_cast<const char *>(c.p);
    size = int(length);
    c.p += length;
    return true;
}

bool ZeltoStreamReader::readString(Cursor &c, QString &out)
{
    const char *data;
    int size;
    bool isNull;
    if (!readText(c, data, size, isNull))
        return false;
    // Invalid UTF-8 becomes replacement characters, never a failure.
    out = isNull ? QString() : size == 0 ? QString(QLatin1String("")) : Zelto::fromUtf8(data, size);
    return true;
}

bool ZeltoStreamReader::readValue(Cursor &c, int depth, QVariant &out)
{
    if (depth > MaxDepth)
        return corrupt(c, QStringLiteral("вложенность значений глубже %1 уровней").arg(MaxDepth));
    uchar tag = 0;
    if (!readByte(c, tag))
        return false;
    switch (tag) {
    case TagStringList: {
        int count;
        if (!readCount(c, 1, count))
            return false;
        QStringList list;
        list.reserve(count);
        for (int i = 0; i < count; ++i) {
            QString s;
            if (!readString(c, s))
                return false;
            list.append(s);
        }
        out = list;
        return true;
    }
    case TagList: {
        int count;
        if (!readCount(c, 1, count))
            return false;
        QVariantList list;
        list.reserve(count);
        for (int i = 0; i < count; ++i) {
            list.append(QVariant());
            if (!readValue(c, depth + 1, list.last()))
                return false;
        }
        out = list;
        return true;
    }
    case TagMap: {
        int count;
        if (!readCount(c, 2, count))
            return false;
        QVariantMap map;
        for (int i = 0; i < count; ++i) {
            QString key;
            if (!readString(c, key) || !readValue(c, depth + 1, map[key]))
                return false;
        }
        out = map;
        return true;
    }
    case TagTable: {
        ZeltoTable table;
        if (!readTable(c, depth, table))
            return false;
        out = QVariant::fromValue(table);
        return true;
    }
    case TagTableMap: {
        int count;
        if (!readCount(c, 3, count))
            return false;
        ZeltoTableMap map;
        for (int i = 0; i < count; ++i) {
            QString key;
            ZeltoTable table;
            if (!readString(c, key) || !readTable(c, depth + 1, table))
                return false;
            map.insert(key, table);
        }
        out = QVariant::fromValue(map);
        return true;
    }
    case TagTypedNull: {
        uchar of = 0;
        if (!readByte(c, of))
            return false;
        const int type = typeOfTag(of);
        if (bodyKeepsNull(of) || type == QMetaType::UnknownType)
            return corrupt(c, QStringLiteral("недопустимый тип пустого значения 0x%1").arg(of, 2, 16, QLatin1Char('0')));
        out = QVariant(QVariant::Type(type));
        return true;
    }
    default:
        if (!isScalarTag(tag)) {
            --c.p;
            return corrupt(c, QStringLiteral("неизвестный тип значения 0x%1").arg(tag, 2, 16, QLatin1Char('0')));
        }
        return readScalarBody(c, tag, out);
    }
}

bool ZeltoStreamReader::readScalarBody(Cursor &c, int tag, QVariant &out)
{
    switch (tag) {
    case TagNull:
        out = QVariant();
        return true;
    case TagOutOfRange:
        out = QVariant::fromValue(ZeltoOutOfRange());
        return true;
    case TagUnused:
        out = QVariant::fromValue(ZeltoUnused());
        return true;
    case TagBool: {
        uchar b = 0;
        if (!readByte(c, b))
            return false;
        if (b > 1)
            return corrupt(c, QStringLiteral("недопустимое логическое значение %1").arg(b));
        out = QVariant(b == 1);
        return true;
    }
    case TagInt: {
        qint64 v = 0;
        if (!readZigzag(c, v))
            return false;
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            return corrupt(c, QStringLiteral("целое число вне 32 бит"));
        out = QVariant(int(v));
        return true;
    }
    case TagUInt: {
        quint64 v = 0;
        if (!readVarint(c, v))
            return false;
        if (v > std::numeric_limits<uint>::max())
            return corrupt(c, QStringLiteral("целое число вне 32 бит"));
        out = QVariant(uint(v));
        return true;
    }
    case TagLongLong: {
        qint64 v = 0;
        if (!readZigzag(c, v))
            return false;
        out = QVariant(qlonglong(v));
        return true;
    }
    case TagULongLong: {
        quint64 v = 0;
        if (!readVarint(c, v))
            return false;
        out = QVariant(qulonglong(v));
        return true;
    }
    case TagDouble: {
        double d;
        if (!readDouble(c, d))
            return false;
        out = QVariant(d);
        return true;
    }
    case TagString: {
        QString s;
        if (!readString(c, s))
            return false;
        out = QVariant(s);
        return true;
    }
    case TagByteArray: {
        const char *data;
        int size;
        bool isNull;
        if (!readText(c, data, size, isNull))
            return false;
        out = QVariant(isNull ? QByteArray() : QByteArray(size ? data : "", size));
        return true;
    }
    case TagDateTime: {
        QDateTime dt;
        if (!readDateTime(c, dt))
            return false;
        out = QVariant(dt);
        return true;
    }
    case TagDate: {
        quint64 v = 0;
        if (!readVarint(c, v))
            return false;
        QDate date;
        if (v != 0) {
            date = QDate::fromJulianDay(unzigzag(v - 1));
            if (!date.isValid())
                return corrupt(c, QStringLiteral("недопустимая дата"));
        }
        out = QVariant(date);
        return true;
    }
    case TagTime: {
        quint64 v = 0;
        if (!readVarint(c, v))
            return false;
        if (v > quint64(MSecsPerDay))
            return corrupt(c, QStringLiteral("недопустимое время суток"));
        out = QVariant(v == 0 ? QTime() : QTime::fromMSecsSinceStartOfDay(int(v - 1)));
        return true;
    }
    case TagChar: {
        uchar b = 0;
        if (!readByte(c, b))
            return false;
        out = QVariant::fromValue(char(b));
        return true;
    }
    case TagQChar: {
        quint64 v = 0;
        if (!readVarint(c, v))
            return false;
        if (v > 0xFFFF)
            return corrupt(c, QStringLiteral("недопустимый символ"));
        out = QVariant(QChar(ushort(v)));
        return true;
    }
    default:
        return corrupt(c, QStringLiteral("неизвестный тип значения 0x%1").arg(tag, 2, 16, QLatin1Char('0')));
    }
}

bool ZeltoStreamReader::readDateTime(Cursor &c, QDateTime &out)
{
    uchar timeSpec = 0;
    if (!readByte(c, timeSpec))
        return false;
    if (timeSpec == SpecInvalid) {
        out = QDateTime();
        return true;
    }
    if (timeSpec > SpecZone)
        return corrupt(c, QStringLiteral("неизвестный вид даты и времени %1").arg(timeSpec));

    QByteArray zoneId;
    qint64 offset = 0;
    if (timeSpec == SpecZone) {
        const char *data;
        int size;
        bool isNull;
        if (!readText(c, data, size, isNull))
            return false;
        if (isNull || size == 0 || size > MaxZoneIdLength)
            return corrupt(c, QStringLiteral("недопустимый часовой пояс"));
        zoneId = QByteArray(data, size);
    }
    if (timeSpec == SpecOffset || timeSpec == SpecZone) {
        if (!readZigzag(c, offset))
            return false;
        if (offset <= -MaxOffsetSeconds || offset >= MaxOffsetSeconds)
            return corrupt(c, QStringLiteral("недопустимое смещение от UTC"));
    }
    qint64 ms = 0;
    if (!readZigzag(c, ms))
        return false;
    if (ms > MaxMSecs || ms < -MaxMSecs)
        return corrupt(c, QStringLiteral("дата и время вне допустимого диапазона"));

    switch (timeSpec) {
    case SpecLocal:
        out = m_localTime.fromEpoch(ms);
        break;
    case SpecUtc:
        out = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        break;
    case SpecOffset:
        out = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, int(offset));
        break;
    default: {
        // A zone this machine does not know still gives the right instant.
        const QTimeZone zone(zoneId);
        out = zone.isValid() ? QDateTime::fromMSecsSinceEpoch(ms, zone)
                             : QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, int(offset));
        break;
    }
    }
    return true;
}

bool ZeltoStreamReader::readColumnHeader(Cursor &c, quint64 rows, ColumnReader &column)
{
    uchar kind = 0;
    if (!readByte(c, kind))
        return false;
    const bool hasBitmap = kind & ColumnBitmap;
    column.mixed = kind == ColumnMixed;
    column.tag = column.mixed ? -1 : kind & ~ColumnBitmap;
    if (!column.mixed && !isColumnTag(column.tag)) {
        --c.p;
        return corrupt(c, QStringLiteral("неизвестный вид столбца 0x%1").arg(kind, 2, 16, QLatin1Char('0')));
    }
    column.packed = column.tag == TagDouble && m_version >= 2;
    const int minimal = column.mixed ? 1 : minimalCellSize(column.tag);
    if (minimal == 0 && !hasBitmap)
        return corrupt(c, QStringLiteral("столбец без карты заполненности"));
    if (column.tag == TagDateTime) {
        uchar timeSpec = 0;
        if (!readByte(c, timeSpec))
            return false;
        if (timeSpec != SpecLocal && timeSpec != SpecUtc)
            return corrupt(c, QStringLiteral("неизвестный вид даты в столбце %1").arg(timeSpec));
        column.timeSpec = timeSpec == SpecUtc ? Qt::UTC : Qt::LocalTime;
    }
    quint64 size = 0;
    if (!readVarint(c, size))
        return false;
    if (size > quint64(c.left()))
        return pastEnd(c);
    // rows <= 8 * bytes left, so these products cannot overflow.
    const quint64 bitmapBytes = hasBitmap ? (rows + 7) / 8 : 0;
    // Packed doubles spend at least a bit each.
    const quint64 cellBytes = column.packed ? (rows + 7) / 8 : rows * quint64(minimal);
    if (size < bitmapBytes || (!hasBitmap && size < cellBytes))
        return corrupt(c, QStringLiteral("размер столбца не соответствует числу строк"));
    column.bitmap = hasBitmap ? c.p : nullptr;
    column.cells = { c.p + bitmapBytes, c.p + size, true };
    c.p += size;
    return true;
}

bool ZeltoStreamReader::readTypedCell(ColumnReader &column, QVariant &out)
{
    Cursor &c = column.cells;
    switch (column.tag) {
    case TagDouble: {
        if (column.packed) {
            if (column.next >= column.block.size()) {
                if (c.p >= c.end)
                    return corrupt(c, QStringLiteral("значение выходит за границы столбца таблицы"));
                column.next = 0;
                QString error;
                if (!ZeltoDoublePacker::unpackBlock(c.p, c.end, column.block, &error))
                    return corrupt(c, error);
            }
            out = QVariant(column.block[column.next++]);
            return true;
        }
        double d;
        if (!readDouble(c, d))
            return false;
        out = QVariant(d);
        return true;
    }
    case TagDateTime: {
        qint64 delta = 0, ms = 0;
        if (!readZigzag(c, delta))
            return false;
        if (__builtin_add_overflow(column.previous, delta, &ms) || ms > MaxMSecs || ms < -MaxMSecs)
            return corrupt(c, QStringLiteral("дата и время вне допустимого диапазона"));
        column.previous = ms;
        out = QVariant(column.timeSpec == Qt::LocalTime ? m_localTime.fromEpoch(ms)
                                                    : QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
        return true;
    }
    case TagDate: {
        qint64 delta = 0, day = 0;
        if (!readZigzag(c, delta))
            return false;
        const QDate date = __builtin_add_overflow(column.previous, delta, &day) ? QDate() : QDate::fromJulianDay(day);
        if (!date.isValid())
            return corrupt(c, QStringLiteral("недопустимая дата"));
        column.previous = day;
        out = QVariant(date);
        return true;
    }
    default:
        return readScalarBody(c, column.tag, out);
    }
}

bool ZeltoStreamReader::readTable(Cursor &c, int depth, ZeltoTable &out)
{
    if (depth > MaxDepth)
        return corrupt(c, QStringLiteral("вложенность значений глубже %1 уровней").arg(MaxDepth));
    int columnCount;
    // A column takes at least a name, a kind and a size byte.
    if (!readCount(c, 3, columnCount))
        return false;
    QStringList names;
    names.reserve(columnCount);
    QSet<QString> seen;
    seen.reserve(columnCount);
    for (int i = 0; i < columnCount; ++i) {
        QString name;
        if (!readString(c, name))
            return false;
        if (seen.contains(name))
            return corrupt(c, QStringLiteral("повторяющееся имя столбца \"%1\"").arg(name));
        seen.insert(name);
        names.append(name);
    }

    quint64 rowCount = 0;
    if (!readVarint(c, rowCount))
        return false;
    if (columnCount == 0) {
        if (rowCount > MaxRowsWithoutColumns - m_rowsWithoutColumns)
            return corrupt(c, QStringLiteral("таблицы без столбцов содержат более %1 строк").arg(MaxRowsWithoutColumns));
        m_rowsWithoutColumns += rowCount;
        if (!out.setContent(names, QVector<QVector<QVariant>>(int(rowCount))))
            return corrupt(c, QStringLiteral("таблица не принимает свои строки"));
        return true;
    }
    if (rowCount > quint64(std::numeric_limits<int>::max()))
        return corrupt(c, QStringLiteral("недопустимое число строк %1").arg(rowCount));
    // Every column spends at least a bit per row.
    if (rowCount > quint64(c.left()) * 8)
        return pastEnd(c);
    const int rows = int(rowCount);

    std::vector<ColumnReader> columns(static_cast<size_t>(columnCount));
    for (ColumnReader &column : columns) {
        if (!readColumnHeader(c, rowCount, column))
            return false;
    }

    QVector<QVector<QVariant>> content(rows);
    if (!readRows(columns, 0, content, depth, true))
        return false;
    // Names were checked to be distinct, so the table accepts them.
    if (!out.setContent(names, std::move(content)))
        return corrupt(c, QStringLiteral("таблица не принимает свои столбцы"));
    return true;
}

// Rows firstRow, firstRow + 1, ... into rows, from the columns' cursors;
// with toEnd, every column must then have been consumed exactly.
bool ZeltoStreamReader::readRows(std::vector<ColumnReader> &columns, int firstRow, QVector<QVector<QVariant>> &rows,
                                 int depth, bool toEnd)
{
    const int columnCount = int(columns.size());
    QVector<QVariant> *rowData = rows.data();
    for (int i = 0; i < rows.size(); ++i) {
        const int r = firstRow + i;
        // Rows are kept no longer than their last present cell.
        int length = 0;
        for (int k = columnCount - 1; k >= 0; --k) {
            if (columns[size_t(k)].present(r)) {
                length = k + 1;
                break;
            }
        }
        QVariant *cells = nullptr;
        if (length > 0) {
            // Sized at construction: resize() would round the block up.
            QVector<QVariant> row(length);
            rowData[i].swap(row);
            cells = rowData[i].data();
        }
        for (int k = 0; k < columnCount; ++k) {
            ColumnReader &column = columns[size_t(k)];
            if (k >= length) {
                // Nothing present here (that is how length was found); a
                // mixed column still spends its null tag.
                if (column.mixed)
                    ++column.cells.p;
            } else if (column.mixed) {
                if (!readValue(column.cells, depth + 1, cells[k]))
                    return false;
            } else if (column.present(r)) {
                if (!readTypedCell(column, cells[k]))
                    return false;
            }
        }
    }
    for (const ColumnReader &column : columns) {
        if (toEnd && (column.cells.p != column.cells.end || column.next != column.block.size()))
            return corrupt(column.cells, QStringLiteral("лишние байты в столбце таблицы"));
    }
    return true;
}
