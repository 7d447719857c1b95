#include "zeltostreamwriter.h"

#include "zeltodoublepacker.h"
#include "zeltotable.h"

#include <QStringList>
#include <QTimeZone>

#include <vector>

using namespace ZeltoStreamFormat;

ZeltoStreamWriter::ZeltoStreamWriter(int version) : m_version(version)
{
}

int ZeltoStreamWriter::cellSize(int tag) const
{
    // Version 2 packs double columns into blocks of their own size.
    if (tag == TagDouble && m_version >= 2)
        return -1;
    return fixedCellSize(tag);
}

bool ZeltoStreamWriter::fail(const QString &text)
{
    if (m_error.isEmpty())
        m_error = text;
    return false;
}

bool ZeltoStreamWriter::tooDeep()
{
    return fail(QStringLiteral("слишком глубокая вложенность значений (более %1 уровней)").arg(MaxDepth));
}

bool ZeltoStreamWriter::dateOutOfRange()
{
    return fail(QStringLiteral("дата и время вне допустимого диапазона"));
}

bool ZeltoStreamWriter::writeValue(ZeltoByteSink &out, const QVariant &v, int depth)
{
    if (depth > MaxDepth)
        return tooDeep();
    const int type = v.userType();
    const int tag = tagOfType(type);
    if (tag < 0)
        return fail(QStringLiteral("неподдерживаемый тип значения: %1").arg(typeName(type)));
    if (!bodyKeepsNull(tag) && v.isNull()) {
        out.putByte(TagTypedNull);
        out.putByte(uchar(tag));
        return true;
    }
    out.putByte(uchar(tag));
    switch (tag) {
    case TagDateTime:
        return writeDateTime(out, valueRef<QDateTime>(v));
    case TagStringList: {
        const QStringList &list = valueRef<QStringList>(v);
        out.putVarint(quint64(list.size()));
        for (const QString &s : list)
            out.putString(s);
        return true;
    }
    case TagList: {
        const QVariantList &list = valueRef<QVariantList>(v);
        out.putVarint(quint64(list.size()));
        for (const QVariant &item : list) {
            if (!writeValue(out, item, depth + 1))
                return false;
        }
        return true;
    }
    case TagMap: {
        const QVariantMap &map = valueRef<QVariantMap>(v);
        out.putVarint(quint64(map.size()));
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out.putString(it.key());
            if (!writeValue(out, it.value(), depth + 1))
                return false;
        }
        return true;
    }
    case TagTable:
        return writeTable(out, valueRef<ZeltoTable>(v), depth);
    case TagTableMap: {
        const ZeltoTableMap &map = valueRef<ZeltoTableMap>(v);
        out.putVarint(quint64(map.size()));
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out.putString(it.key());
            if (!writeTable(out, it.value(), depth + 1))
                return false;
        }
        return true;
    }
    default:
        return writeScalarBody(out, tag, v);
    }
}

bool ZeltoStreamWriter::writeScalarBody(ZeltoByteSink &out, int tag, const QVariant &v)
{
    switch (tag) {
    case TagNull:
    case TagOutOfRange:
    case TagUnused:
        return true;
    case TagBool:
        out.putByte(valueRef<bool>(v) ? 1 : 0);
        return true;
    case TagInt:
        out.putZigzag(valueRef<int>(v));
        return true;
    case TagUInt:
        out.putVarint(valueRef<uint>(v));
        return true;
    case TagLongLong:
        out.putZigzag(valueRef<qlonglong>(v));
        return true;
    case TagULongLong:
        out.putVarint(valueRef<qulonglong>(v));
        return true;
    case TagDouble:
        out.putDouble(valueRef<double>(v));
        return true;
    case TagString:
        out.putString(valueRef<QString>(v));
        return true;
    case TagByteArray: {
        const QByteArray &bytes = valueRef<QByteArray>(v);
        out.putText(bytes, bytes.isNull());
        return true;
    }
    case TagDateTime:
        return writeDateTime(out, valueRef<QDateTime>(v));
    case TagDate: {
        const QDate &date = valueRef<QDate>(v);
        out.putVarint(date.isValid() ? zigzag(date.toJulianDay()) + 1 : 0);
        return true;
    }
    case TagTime: {
        const QTime &time = valueRef<QTime>(v);
        out.putVarint(time.isValid() ? quint64(time.msecsSinceStartOfDay()) + 1 : 0);
        return true;
    }
    case TagChar:
        out.putByte(uchar(valueRef<char>(v)));
        return true;
    case TagQChar:
        out.putVarint(valueRef<QChar>(v).unicode());
        return true;
    default:
        return fail(QStringLiteral("внутренняя ошибка: тег %1 не является простым значением").arg(tag));
    }
}

bool ZeltoStreamWriter::writeDateTime(ZeltoByteSink &out, const QDateTime &dt)
{
    if (!dt.isValid()) {
        out.putByte(SpecInvalid);
        return true;
    }
    const qint64 ms = dt.timeSpec() == Qt::LocalTime ? m_localTime.toEpoch(dt) : dt.toMSecsSinceEpoch();
    if (ms > MaxMSecs || ms < -MaxMSecs)
        return dateOutOfRange();
    switch (dt.timeSpec()) {
    case Qt::LocalTime:
        out.putByte(SpecLocal);
        break;
    case Qt::UTC:
        out.putByte(SpecUtc);
        break;
    case Qt::OffsetFromUTC:
    case Qt::TimeZone: {
        const int offset = dt.offsetFromUtc();
        if (offset <= -MaxOffsetSeconds || offset >= MaxOffsetSeconds)
            return fail(QStringLiteral("смещение от UTC вне допустимого диапазона: %1 с").arg(offset));
        if (dt.timeSpec() == Qt::TimeZone) {
            const QByteArray id = dt.timeZone().id();
            if (id.isEmpty() || id.size() > MaxZoneIdLength)
                return fail(QStringLiteral("недопустимый часовой пояс даты"));
            out.putByte(SpecZone);
            out.putText(id, false);
        } else {
            out.putByte(SpecOffset);
        }
        out.putZigzag(offset);
        break;
    }
    }
    out.putZigzag(ms);
    return true;
}

bool ZeltoStreamWriter::planCell(ColumnPlan &plan, const QVariant &v, int type)
{
    const int tag = tagOfType(type);
    if (tag < 0)
        return fail(QStringLiteral("неподдерживаемый тип значения в ячейке таблицы: %1").arg(typeName(type)));
    bool typed = isColumnTag(tag);
    uchar timeKind = 0;
    if (tag == TagDateTime) {
        const QDateTime &dt = valueRef<QDateTime>(v);
        const Qt::TimeSpec timeSpec = dt.timeSpec();
        typed = dt.isValid() && (timeSpec == Qt::LocalTime || timeSpec == Qt::UTC);
        timeKind = timeSpec == Qt::UTC ? SpecUtc : SpecLocal;
    } else if (tag == TagDate) {
        typed = valueRef<QDate>(v).isValid();
    } else if (!bodyKeepsNull(tag) && v.isNull()) {
        typed = false;
    }
    if (!typed) {
        plan.mixed = true;
    } else if (plan.tag < 0) {
        plan.tag = tag;
        plan.type = type;
        plan.timeKind = timeKind;
        plan.simple = tag != TagDateTime && tag != TagDate;
        plan.keepsNull = bodyKeepsNull(tag);
    } else if (plan.tag != tag || plan.timeKind != timeKind) {
        plan.mixed = true;
    }
    return true;
}

bool ZeltoStreamWriter::writeTypedCell(ZeltoByteSink &out, ColumnPlan &plan, const QVariant &v)
{
    switch (plan.tag) {
    case TagDouble:
        out.putDouble(valueRef<double>(v));
        return true;
    case TagDateTime: {
        const QDateTime &dt = valueRef<QDateTime>(v);
        const qint64 ms = plan.timeKind == SpecLocal ? m_localTime.toEpoch(dt) : dt.toMSecsSinceEpoch();
        if (ms > MaxMSecs || ms < -MaxMSecs)
            return dateOutOfRange();
        out.putZigzag(ms - plan.previous);
        plan.previous = ms;
        return true;
    }
    case TagDate: {
        const qint64 day = valueRef<QDate>(v).toJulianDay();
        out.putZigzag(day - plan.previous);
        plan.previous = day;
        return true;
    }
    default:
        return writeScalarBody(out, plan.tag, v);
    }
}

bool ZeltoStreamWriter::writeTable(ZeltoByteSink &out, const ZeltoTable &table, int depth)
{
    if (depth > MaxDepth)
        return tooDeep();
    const int columns = table.columnCount();
    const int rows = table.rowCount();
    // Rows without columns cost no bytes, so their number is capped for the
    // whole value: a reader allocates them from nothing.
    if (columns == 0) {
        m_rowsWithoutColumns += rows;
        if (quint64(m_rowsWithoutColumns) > MaxRowsWithoutColumns)
            return fail(QStringLiteral("таблицы без столбцов содержат более %1 строк").arg(MaxRowsWithoutColumns));
    }

    out.putVarint(quint64(columns));
    for (const QString &name : table.columnNames())
        out.putString(name);
    out.putVarint(quint64(rows));
    if (columns == 0 || out.overflowed())
        return true;

    std::vector<const QVector<QVariant> *> rowCells(static_cast<size_t>(rows), nullptr);
    for (int r = 0; r < rows; ++r)
        rowCells[size_t(r)] = &table.rowCells(r);

    // Pass 1, row by row (the memory order of the cells): presence bitmaps
    // and the shared type of each column.
    const qint64 bitmapBytes = (qint64(rows) + 7) / 8;
    std::vector<uchar> bitmaps(size_t(bitmapBytes * columns), 0);
    std::vector<ColumnPlan> plans(static_cast<size_t>(columns));
    for (int r = 0; r < rows; ++r) {
        const QVector<QVariant> &cells = *rowCells[size_t(r)];
        const int n = qMin(cells.size(), columns);
        const QVariant *cell = cells.constData();
        const qint64 byte = r >> 3;
        const uchar mask = uchar(1u << (r & 7));
        for (int c = 0; c < n; ++c) {
            const int type = cell[c].userType();
            if (type == QMetaType::UnknownType)
                continue;
            ColumnPlan &plan = plans[size_t(c)];
            bitmaps[size_t(c * bitmapBytes + byte)] |= mask;
            ++plan.present;
            if (plan.mixed || (plan.simple && type == plan.type && (plan.keepsNull || !cell[c].isNull())))
                continue;
            if (!planCell(plan, cell[c], type))
                return false;
        }
    }

    // Pass 2: cells whose size depends on the value go into a buffer per
    // column, row by row.
    // Doubles to be packed are gathered first, one array per column.
    std::vector<ZeltoByteSink> columnData(static_cast<size_t>(columns));
    std::vector<std::vector<double>> doubles(static_cast<size_t>(columns));
    std::vector<int> variable, fixed;
    for (int c = 0; c < columns; ++c) {
        const ColumnPlan &plan = plans[size_t(c)];
        const int tag = plan.tag < 0 ? int(TagNull) : plan.tag;
        const int size = plan.mixed ? -1 : cellSize(tag);
        if (size < 0) {
            variable.push_back(c);
            if (!plan.mixed && tag == TagDouble)
                doubles[size_t(c)].reserve(size_t(plan.present));
            else
                columnData[size_t(c)].reserve(plan.mixed ? qint64(rows) + qint64(plan.present) * 8 : qint64(plan.present) * 4);
        } else if (size > 0 && plan.present > 0) {
            fixed.push_back(c);
        }
    }
    if (!variable.empty()) {
        for (int r = 0; r < rows; ++r) {
            const QVariant *cell = rowCells[size_t(r)]->constData();
            const qint64 byte = r >> 3;
            const uchar mask = uchar(1u << (r & 7));
            for (int c : variable) {
                ColumnPlan &plan = plans[size_t(c)];
                const bool present = bitmaps[size_t(c * bitmapBytes + byte)] & mask;
                if (plan.mixed) {
                    ZeltoByteSink &data = columnData[size_t(c)];
                    if (!present)
                        data.putByte(TagNull);
                    else if (!writeValue(data, cell[c], depth + 1))
                        return false;
                } else if (present) {
                    if (plan.tag == TagDouble)
                        doubles[size_t(c)].push_back(valueRef<double>(cell[c]));
                    else if (!writeTypedCell(columnData[size_t(c)], plan, cell[c]))
                        return false;
                }
            }
        }
        for (int c : variable) {
            const std::vector<double> &values = doubles[size_t(c)];
            if (!values.empty()) {
                // The most a column can take: every block raw.
                columnData[size_t(c)].reserve(qint64(values.size()) * 8 + qint64(values.size() / 1024 + 1) * 4);
                ZeltoDoublePacker::pack(values.data(), qint64(values.size()), columnData[size_t(c)]);
            }
        }
    }

    // Now every column's size is known: claim the whole block at once and
    // lay out the headers, bitmaps and buffered cells.
    std::vector<qint64> spans(static_cast<size_t>(columns));
    std::vector<bool> hasBitmap(static_cast<size_t>(columns));
    qint64 total = 0;
    for (int c = 0; c < columns; ++c) {
        const ColumnPlan &plan = plans[size_t(c)];
        if (columnData[size_t(c)].overflowed()) {
            out.markOverflowed();
            return true;
        }
        const int tag = plan.tag < 0 ? int(TagNull) : plan.tag;
        const bool bitmap = !plan.mixed && (plan.present < rows || minimalCellSize(tag) == 0);
        const int size = plan.mixed ? -1 : cellSize(tag);
        const qint64 span = (bitmap ? bitmapBytes : 0)
                            + (size < 0 ? columnData[size_t(c)].size() : qint64(size) * plan.present);
        spans[size_t(c)] = span;
        hasBitmap[size_t(c)] = bitmap;
        total += 1 + (!plan.mixed && tag == TagDateTime ? 1 : 0) + varintSize(quint64(span)) + span;
    }
    char *block = out.claim(total);
    if (!block)
        return true;   // the caller reports the overflow

    std::vector<char *> fixedCursor(static_cast<size_t>(columns), nullptr);
    char *p = block;
    for (int c = 0; c < columns; ++c) {
        const ColumnPlan &plan = plans[size_t(c)];
        const int tag = plan.tag < 0 ? int(TagNull) : plan.tag;
        const bool bitmap = hasBitmap[size_t(c)];
        *p++ = char(plan.mixed ? ColumnMixed : uchar(tag | (bitmap ? ColumnBitmap : 0)));
        if (!plan.mixed && tag == TagDateTime)
            *p++ = char(plan.timeKind);
        p += writeVarint(quint64(spans[size_t(c)]), p);
        if (bitmap && bitmapBytes > 0) {
            std::memcpy(p, bitmaps.data() + c * bitmapBytes, size_t(bitmapBytes));
            p += bitmapBytes;
        }
        if (plan.mixed || cellSize(tag) < 0) {
            const ZeltoByteSink &data = columnData[size_t(c)];
            if (data.size() > 0)
                std::memcpy(p, data.constData(), size_t(data.size()));
            p += data.size();
        } else {
            fixedCursor[size_t(c)] = p;
            p += spans[size_t(c)] - (bitmap ? bitmapBytes : 0);
        }
    }

    // Pass 3: fixed-size cells straight into their place, row by row.
    if (!fixed.empty()) {
        for (int r = 0; r < rows; ++r) {
            const QVariant *cell = rowCells[size_t(r)]->constData();
            const qint64 byte = r >> 3;
            const uchar mask = uchar(1u << (r & 7));
            for (int c : fixed) {
                if (!(bitmaps[size_t(c * bitmapBytes + byte)] & mask))
                    continue;
                char *&to = fixedCursor[size_t(c)];
                const QVariant &v = cell[c];
                switch (plans[size_t(c)].tag) {
                case TagDouble: {
                    const quint64 bits = qToLittleEndian(doubleBits(valueRef<double>(v)));
                    std::memcpy(to, &bits, 8);
                    to += 8;
                    break;
                }
                case TagBool:
                    *to++ = valueRef<bool>(v) ? 1 : 0;
                    break;
                default:   // TagChar
                    *to++ = valueRef<char>(v);
                    break;
                }
            }
        }
    }
    return true;
}
