#include "zeltotablesplice.h"

#include "zeltobytesink.h"
#include "zeltochecksum.h"
#include "zeltodoublepacker.h"
#include "zeltostream.h"
#include "zeltostreamformat.h"
#include "zeltostreamreader.h"
#include "zeltostreamwriter.h"
#include "zeltotable.h"

#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

using namespace ZeltoStreamFormat;

namespace {

// The version whose layout this class knows (framed values, packed
// doubles). A server told to write an older version never splices.
const int kVersion = 2;
// Version byte, value length, checksum.
const int kFrameBytes = 1 + 4 + 4;

// Present cells among the first `rows` rows of a bitmap.
int countBits(const uchar *bitmap, int rows)
{
    int count = 0;
    const int whole = rows / 8;
    for (int i = 0; i < whole; ++i)
        count += __builtin_popcount(bitmap[i]);
    if (rows % 8)
        count += __builtin_popcount(bitmap[whole] & ((1u << (rows % 8)) - 1));
    return count;
}

// Moves c past `before` varints, `after` more following them to the end of
// the cursor: from whichever end is nearer, as a varint ends at its first
// byte below 0x80. False when the bytes do not hold that many.
bool skipVarints(ZeltoStreamReader::Cursor &c, qint64 before, qint64 after)
{
    if (before <= after) {
        for (qint64 ended = 0; ended < before; ++c.p) {
            if (c.p >= c.end)
                return false;
            ended += *c.p < 0x80 ? 1 : 0;
        }
        return true;
    }
    const uchar *p = c.end;
    for (qint64 i = 0; i < after; ++i) {
        if (p <= c.p || p[-1] >= 0x80)
            return false;
        --p;
        while (p > c.p && p[-1] >= 0x80)
            --p;
    }
    c.p = p;
    return true;
}

} // namespace

struct ZeltoTableSplice::Column
{
    ZeltoStreamReader::ColumnReader header;   // cursor at the first cell
    uchar timeKind = 0;                       // typed date-time columns
    // At the cut, where seek() left it:
    int present = 0;                          // present cells before the cut row
    const uchar *cut = nullptr;               // the first byte not copied through
    ZeltoStreamReader::ColumnReader tail;     // ready to read the cut row
    std::vector<double> before;               // packed doubles: the cut block's values before the cut row
    ZeltoStreamWriter::ColumnPlan prefix;     // mixed columns: what the cells before the cut row hold
    QVector<qint64> instants;                 // every row's, once instants() has read them

    // As new for another table, its buffers kept.
    void reset()
    {
        resetReader(header);
        resetReader(tail);
        timeKind = 0;
        present = 0;
        cut = nullptr;
        before.clear();
        prefix = ZeltoStreamWriter::ColumnPlan();
        // Let go, not cleared: shared with the caller's vector, clearing would copy it.
        instants = QVector<qint64>();
    }

    static void resetReader(ZeltoStreamReader::ColumnReader &reader)
    {
        std::vector<double> block = std::move(reader.block);
        block.clear();
        reader = ZeltoStreamReader::ColumnReader();
        reader.block = std::move(block);
    }
};

ZeltoTableSplice::ZeltoTableSplice() = default;
ZeltoTableSplice::~ZeltoTableSplice() = default;

bool ZeltoTableSplice::open(const QByteArray &bytes)
{
    m_bytes = bytes;
    m_base = nullptr;
    m_rows = 0;
    m_seeked = -1;
    m_names.clear();
    // The columns are kept (unused while m_base is null) and reset when read
    // again: a group total opens thousands of tables of the same columns.
    if (ZeltoStream::writeVersion() != kVersion || bytes.size() < kFrameBytes + 1)
        return false;
    const uchar *base = reinterpret_cast<const uchar *>(m_bytes.constData());
    quint32 length = 0, crc = 0;
    std::memcpy(&length, base + 1, 4);
    if (base[0] != kVersion || quint64(qFromLittleEndian(length)) + kFrameBytes != quint64(bytes.size()))
        return false;
    length = qFromLittleEndian(length);
    const uchar *value = base + 5;
    std::memcpy(&crc, value + length, 4);
    if (qFromLittleEndian(crc) != ZeltoChecksum::crc32c(reinterpret_cast<const char *>(value), length)
        || value[0] != TagTable)
        return false;

    m_reader.reset(new ZeltoStreamReader(base, kVersion));
    if (!m_writer)
        m_writer.reset(new ZeltoStreamWriter(kVersion));
    ZeltoStreamReader::Cursor c = { value + 1, value + length, false };
    int columnCount = 0;
    if (!m_reader->readCount(c, 3, columnCount) || columnCount == 0)
        return false;
    // The archives of one kind of meter have the same columns: the names of
    // the last few tables opened on this splice serve again when their bytes
    // are the same (a group total opens thousands, two archives a node, in turn).
    KnownNames *const known = m_knownNames;
    const char *const namesStart = reinterpret_cast<const char *>(c.p);
    ZeltoStreamReader::Cursor afterNames = c;
    for (int i = 0; i < columnCount; ++i) {
        const char *data = nullptr;
        int size = 0;
        bool isNull = false;
        if (!m_reader->readText(afterNames, data, size, isNull))
            return false;
    }
    const int namesSize = int(reinterpret_cast<const char *>(afterNames.p) - namesStart);
    const auto same = std::find_if(known, known + kKnownNames, [&](const KnownNames &k) {
        return k.names.size() == columnCount && k.bytes.size() == namesSize
            && std::memcmp(k.bytes.constData(), namesStart, size_t(namesSize)) == 0;
    });
    if (same != known + kKnownNames) {
        m_names = same->names;
        c = afterNames;
    } else {
        QSet<QString> seen;
        for (int i = 0; i < columnCount; ++i) {
            QString name;
            if (!m_reader->readString(c, name) || seen.contains(name))
                return false;
            seen.insert(name);
            m_names.append(name);
        }
        KnownNames &slot = known[m_nextKnown];
        m_nextKnown = (m_nextKnown + 1) % kKnownNames;
        slot.bytes = QByteArray(namesStart, namesSize);
        slot.names = m_names;
    }
    quint64 rows = 0;
    if (!m_reader->readVarint(c, rows) || rows > quint64(std::numeric_limits<int>::max())
        || rows > quint64(c.left()) * 8)
        return false;
    m_columns.resize(size_t(columnCount));
    for (Column &column : m_columns) {
        column.reset();
        if (!m_reader->readColumnHeader(c, rows, column.header))
            return false;
        if (!column.header.mixed && column.header.tag == TagDateTime)
            column.timeKind = column.header.timeSpec == Qt::UTC ? SpecUtc : SpecLocal;
    }
    if (c.p != c.end)
        return false;
    m_base = base;
    m_rows = int(rows);
    return true;
}

bool ZeltoTableSplice::instants(int column, QVector<qint64> &out, Qt::TimeSpec &timeSpec)
{
    if (!m_base || column < 0 || column >= int(m_columns.size()))
        return false;
    Column &keyed = m_columns[size_t(column)];
    const ZeltoStreamReader::ColumnReader &header = keyed.header;
    // A typed column has a bitmap only when some row lacks a value.
    if (header.mixed || header.tag != TagDateTime || header.bitmap)
        return false;
    const uchar *p = header.cells.p;
    const uchar *const end = header.cells.end;
    out.resize(m_rows);
    qint64 *instant = out.data();
    qint64 previous = 0;
    // Regular records repeat one delta: a varint of up to four bytes equal
    // to the last one decoded is not decoded again.
    quint32 repeatBytes = 0, repeatMask = 0;
    qint64 repeatDelta = 0;
    int repeatLength = 0;
    for (int r = 0; r < m_rows;) {
        // A run of the repeated delta, in a loop of its own. A delta of four
        // varint bytes is below 2^28 and a run is shorter than 2^31 rows, so
        // from an instant within 2^60 no sum here can overflow; and the sums
        // of one delta only go one way, so the run's last instant is the one
        // to hold against the bounds.
        if (repeatLength) {
            qint64 *out = instant + r;
            qint64 *const outEnd = instant + m_rows;
            while (out < outEnd && end - p >= 4) {
                quint32 next;
                std::memcpy(&next, p, 4);
                if ((next & repeatMask) != repeatBytes)
                    break;
                previous += repeatDelta;
                *out++ = previous;
                p += repeatLength;
            }
            r = int(out - instant);
            if (previous > MaxMSecs || previous < -MaxMSecs)
                return false;
        }
        if (r == m_rows)
            break;
        const uchar *start = p;
        quint64 raw = 0;
        if (readVarint(p, end, raw) != VarintRead::Ok)
            return false;
        const qint64 delta = unzigzag(raw);
        repeatLength = p - start <= 4 ? int(p - start) : 0;
        const uchar mask[4] = { 0xff, uchar(repeatLength > 1 ? 0xff : 0), uchar(repeatLength > 2 ? 0xff : 0),
                                uchar(repeatLength > 3 ? 0xff : 0) };
        std::memcpy(&repeatMask, mask, 4);
        repeatBytes = 0;
        std::memcpy(&repeatBytes, start, size_t(repeatLength));
        repeatDelta = delta;
        if (__builtin_add_overflow(previous, delta, &previous) || previous > MaxMSecs || previous < -MaxMSecs)
            return false;
        instant[r++] = previous;
    }
    timeSpec = header.timeSpec;
    if (p != end)
        return false;
    // Kept (shared, not copied) for seeking this column: the delta base at
    // any row is the instant before it.
    keyed.instants = out;
    return true;
}

bool ZeltoTableSplice::seek(int from)
{
    if (!m_base || from < 0 || from > m_rows)
        return false;
    if (m_seeked == from)
        return true;
    m_seeked = -1;
    for (Column &column : m_columns) {
        if (!seekColumn(column, from))
            return false;
    }
    m_seeked = from;
    return true;
}

// Walks the cells of the rows before `from`: what a reader of the cut row
// needs (delta bases, the current block of doubles) and where the bytes to
// copy through end.
bool ZeltoTableSplice::seekColumn(Column &column, int from)
{
    ZeltoStreamReader::ColumnReader &reader = column.tail;
    reader = column.header;
    column.before.clear();
    column.prefix = ZeltoStreamWriter::ColumnPlan();
    ZeltoStreamReader::Cursor &c = reader.cells;
    if (reader.mixed) {
        for (int r = 0; r < from; ++r) {
            if (c.p < c.end && *c.p == TagNull) {
                ++c.p;
                continue;
            }
            QVariant value;
            if (!m_reader->readValue(c, 1, value) || !m_writer->planCell(column.prefix, value, value.userType()))
                return false;
            ++column.prefix.present;
        }
        column.present = column.prefix.present;
        column.cut = c.p;
        return true;
    }

    int present = 0;
    if (reader.tag != TagNull)
        present = reader.bitmap ? countBits(reader.bitmap, from) : from;
    column.present = present;
    column.cut = c.p;
    if (reader.packed) {
        // Whole blocks before the cut are copied; the block of the cut row
        // is packed again, its values before the cut row first (its groups
        // that come out the same are copied too, by the packer).
        int index = 0;
        while (c.p < c.end) {
            const uchar *start = c.p;
            int n = 0;
            if (!ZeltoDoublePacker::skipBlock(c.p, c.end, n))
                return false;
            // A short block is the last one, and the new values join it.
            if (index + n > present || n < ZeltoDoublePacker::BlockSize) {
                c.p = start;
                QString error;
                if (!ZeltoDoublePacker::unpackBlock(c.p, c.end, reader.block, &error) || present - index > n)
                    return false;
                column.cut = start;
                reader.next = size_t(present - index);
                column.before.assign(reader.block.begin(), reader.block.begin() + qptrdiff(reader.next));
                return true;
            }
            index += n;
            column.cut = c.p;
        }
        reader.block.clear();
        reader.next = 0;
        return index == present;
    }
    // Whole numbers before the cut are copied, not read: each ends at its
    // first byte below 0x80. One out of its range stays as stored, and the
    // spliced archive reads exactly when the stored one did. The same for
    // delta-coded date-times whose instants are known: the delta base is
    // the instant before the cut.
    const bool delta = reader.tag == TagDateTime || reader.tag == TagDate;
    const bool known = reader.tag == TagDateTime && column.instants.size() == m_rows;
    if (reader.tag == TagInt || reader.tag == TagUInt || reader.tag == TagLongLong || reader.tag == TagULongLong
        || known) {
        if (!skipVarints(c, present, (reader.bitmap ? countBits(reader.bitmap, m_rows) : m_rows) - present))
            return false;
        if (known)
            reader.previous = from > 0 ? column.instants.at(from - 1) : 0;
        column.cut = c.p;
        return true;
    }
    for (int i = 0; i < present; ++i) {
        if (delta) {
            quint64 raw = 0;
            if (readVarint(c.p, c.end, raw) != VarintRead::Ok
                || __builtin_add_overflow(reader.previous, unzigzag(raw), &reader.previous))
                return false;
        } else {
            QVariant value;
            if (!m_reader->readScalarBody(c, reader.tag, value))
                return false;
        }
    }
    column.cut = c.p;
    return true;
}

bool ZeltoTableSplice::readRows(int from, ZeltoTable &out)
{
    return readRows(from, m_rows, out);
}

bool ZeltoTableSplice::readRows(int from, int to, ZeltoTable &out)
{
    if (to < from || to > m_rows || !seek(from))
        return false;
    std::vector<ZeltoStreamReader::ColumnReader> readers;
    readers.reserve(m_columns.size());
    for (const Column &column : m_columns)
        readers.push_back(column.tail);
    QVector<QVector<QVariant>> rows(to - from);
    if (!m_reader->readRows(readers, from, rows, 0, to == m_rows))
        return false;
    return out.setContent(m_names, std::move(rows));
}

bool ZeltoTableSplice::readNumbers(int column, int from, int to, std::vector<double> &out)
{
    if (!m_base || column < 0 || column >= int(m_columns.size()) || from < 0 || to < from || to > m_rows)
        return false;
    const ZeltoStreamReader::ColumnReader &header = m_columns[size_t(column)].header;
    out.assign(size_t(to - from), std::numeric_limits<double>::quiet_NaN());
    if (header.mixed)
        return false;
    if (header.tag == TagNull)
        return true;
    if (header.tag != TagDouble && header.tag != TagInt && header.tag != TagUInt)
        return false;
    const int before = header.bitmap ? countBits(header.bitmap, from) : from;
    const int wanted = (header.bitmap ? countBits(header.bitmap, to) : to) - before;
    std::vector<double> &block = m_block;
    // The present cells in order: straight into out when every row has one,
    // else gathered first and then put in their rows.
    if (header.bitmap)
        m_values.resize(size_t(wanted));
    double *const values = header.bitmap ? m_values.data() : out.data();
    int filled = 0;
    const uchar *p = header.cells.p;
    const uchar *const end = header.cells.end;
    if (header.tag == TagDouble) {
        if (!header.packed)
            return false;
        // Blocks before the first row wanted are stepped over, not unpacked.
        int index = 0;
        while (filled < wanted) {
            const uchar *head = p;
            quint64 n = 0;
            if (readVarint(head, end, n) != VarintRead::Ok || n < 1)
                return false;
            if (index + qint64(n) <= before) {
                int count = 0;
                if (!ZeltoDoublePacker::skipBlock(p, end, count))
                    return false;
                index += count;
                continue;
            }
            // Of the block, only its values in the range are unpacked.
            const int first = qMax(0, before - index);
            const int last = int(qMin<qint64>(qint64(n), qint64(before) + wanted - index));
            QString error;
            if (!ZeltoDoublePacker::unpackBlock(p, end, block, &error, first, last))
                return false;
            for (int i = first; i < qMin(last, int(block.size())); ++i)
                values[filled++] = block[size_t(i)];
            index += int(block.size());
        }
    } else {
        ZeltoStreamReader::Cursor c = header.cells;
        const int all = header.bitmap ? countBits(header.bitmap, m_rows) : m_rows;
        if (!skipVarints(c, before, all - before))
            return false;
        for (int i = 0; i < wanted; ++i) {
            quint64 raw = 0;
            if (readVarint(c.p, c.end, raw) != VarintRead::Ok)
                return false;
            if (header.tag == TagInt) {
                const qint64 v = unzigzag(raw);
                // Out of its range the stored table does not read at all.
                if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
                    return false;
                values[filled++] = double(v);
            } else {
                if (raw > std::numeric_limits<quint32>::max())
                    return false;
                values[filled++] = double(raw);
            }
        }
    }
    if (!header.bitmap)
        return true;
    size_t next = 0;
    for (int r = from; r < to; ++r) {
        if (header.bitmap[r >> 3] & (1u << (r & 7)))
            out[size_t(r - from)] = values[next++];
    }
    return true;
}

bool ZeltoTableSplice::readCells(int column, int from, int to, QVector<QVariant> &out)
{
    if (!m_base || column < 0 || column >= int(m_columns.size()) || from < 0 || to < from || to > m_rows)
        return false;
    // This column's cut moves: the others' no longer matches it.
    m_seeked = -1;
    Column &wanted = m_columns[size_t(column)];
    if (!seekColumn(wanted, from))
        return false;
    std::vector<ZeltoStreamReader::ColumnReader> readers{wanted.tail};
    QVector<QVector<QVariant>> rows(to - from);
    if (!m_reader->readRows(readers, from, rows, 0, false))
        return false;
    out.resize(to - from);
    for (int i = 0; i < rows.size(); ++i)
        out[i] = rows.at(i).value(0);
    return true;
}

bool ZeltoTableSplice::numberPresence(int column, int row, bool &present) const
{
    if (!m_base || column < 0 || column >= int(m_columns.size()) || row < 0 || row >= m_rows)
        return false;
    const ZeltoStreamReader::ColumnReader &header = m_columns[size_t(column)].header;
    if (header.mixed
        || (header.tag != TagNull && header.tag != TagDouble && header.tag != TagInt && header.tag != TagUInt)
        || (header.tag == TagDouble && !header.packed))
        return false;
    present = header.present(row);
    return true;
}

bool ZeltoTableSplice::replaceRows(int from, const ZeltoTable &tail, QByteArray &out)
{
    // The stored columns, then any new ones (a merge appends them), whose
    // stored rows have no cells.
    const QStringList &names = tail.columnNames();
    if (names.size() < m_names.size() || names.mid(0, m_names.size()) != m_names
        || qint64(from) + tail.rowCount() > std::numeric_limits<int>::max() || !seek(from))
        return false;
    for (int c = m_names.size(); c < names.size(); ++c) {
        if (names.indexOf(names.at(c)) != c)
            return false;
    }
    ZeltoByteSink sink;
    sink.reserve(m_bytes.size() + qint64(tail.rowCount()) * names.size() * 16
                 + qint64(from) * (names.size() - m_names.size()) / 8 + 64);
    sink.putByte(uchar(kVersion));
    sink.claim(4);   // the length, filled in below
    sink.putByte(TagTable);
    sink.putVarint(quint64(names.size()));
    for (const QString &name : names)
        sink.putString(name);
    sink.putVarint(quint64(from) + quint64(tail.rowCount()));
    // The checksum is summed column by column as the value is written,
    // while each column is still in the cache, not over the whole value
    // once it is done.
    RunningSum sum;
    sum.summed = 5;
    for (int c = 0; c < int(m_columns.size()); ++c) {
        if (!writeColumn(m_columns[size_t(c)], from, tail, c, sink, sum))
            return false;
    }
    for (int c = m_names.size(); c < names.size(); ++c) {
        Column added;   // nothing stored: no cells before the cut, none copied
        if (!writeColumn(added, from, tail, c, sink, sum))
            return false;
    }
    if (sink.overflowed())
        return false;
    sum.catchUp(sink);
    const qint64 length = sink.size() - 5;
    const quint32 crc = qToLittleEndian(sum.sum);
    const quint32 le = qToLittleEndian(quint32(length));
    std::memcpy(sink.data() + 1, &le, 4);
    sink.putBytes(reinterpret_cast<const char *>(&crc), 4);
    if (sink.overflowed())
        return false;
    out = sink.take(sink.size());
    return true;
}

// One column of the new table: its kind by the writer's rules for all of
// its cells, the stored cells before the cut, then the new ones.
bool ZeltoTableSplice::writeColumn(Column &column, int from, const ZeltoTable &tail, int c, ZeltoByteSink &out,
                                   RunningSum &sum)
{
    ZeltoStreamWriter &writer = *m_writer;
    const int tailRows = tail.rowCount();
    const qint64 rows = qint64(from) + tailRows;
    // The new cell of a row, null when the row has none.
    auto cellAt = [&](int r) -> const QVariant * {
        const QVector<QVariant> &cells = tail.rowCells(r);
        return c < cells.size() && cells.at(c).isValid() ? &cells.at(c) : nullptr;
    };
    ZeltoStreamWriter::ColumnPlan tailPlan;
    for (int r = 0; r < tailRows; ++r) {
        const QVariant *cell = cellAt(r);
        if (!cell)
            continue;
        ++tailPlan.present;
        if (!writer.planCell(tailPlan, *cell, cell->userType()))
            return false;
    }

    const ZeltoStreamReader::ColumnReader &header = column.header;
    ZeltoStreamWriter::ColumnPlan plan;
    if (header.mixed) {
        // Stays mixed, or the whole column would now be typed.
        plan = column.prefix;
        if (tailPlan.mixed || (plan.tag >= 0 && tailPlan.tag >= 0
                               && (plan.tag != tailPlan.tag || plan.timeKind != tailPlan.timeKind)))
            plan.mixed = true;
        if (!plan.mixed)
            return false;
    } else if (column.present > 0) {
        if (tailPlan.mixed
            || (tailPlan.tag >= 0 && (tailPlan.tag != header.tag || tailPlan.timeKind != column.timeKind)))
            return false;
        plan.tag = header.tag;
        plan.timeKind = column.timeKind;
        plan.previous = column.tail.previous;
    } else {
        // No stored cell before the cut: the new cells alone decide.
        if (tailPlan.mixed)
            return false;
        plan.tag = tailPlan.tag;
        plan.timeKind = tailPlan.timeKind;
    }
    const int tag = plan.mixed ? -1 : plan.tag < 0 ? int(TagNull) : plan.tag;
    const qint64 present = qint64(column.present) + tailPlan.present;
    const bool bitmap = !plan.mixed && (present < rows || minimalCellSize(tag) == 0);

    // The stored cells before the cut go from the stored bytes straight
    // into the new stream, behind the new bitmap; data gets the cells after.
    ZeltoByteSink data;
    const uchar *first = header.cells.p;
    const qint64 kept = column.cut - first;
    data.reserve(qint64(tailRows) * 16 + 1024 * 8);
    if (plan.mixed) {
        for (int r = 0; r < tailRows; ++r) {
            const QVariant *cell = cellAt(r);
            if (!cell)
                data.putByte(TagNull);
            else if (!writer.writeValue(data, *cell, 1))
                return false;
        }
    } else if (tag == TagDouble) {
        std::vector<double> values(column.before);
        values.reserve(values.size() + size_t(tailPlan.present));
        for (int r = 0; r < tailRows; ++r) {
            if (const QVariant *cell = cellAt(r))
                values.push_back(valueRef<double>(*cell));
        }
        // The stored block of the cut row goes on with the new values.
        if (!column.before.empty())
            ZeltoDoublePacker::packAfter(column.cut, header.cells.end, int(column.before.size()), values.data(),
                                         qint64(values.size()), data);
        else if (!values.empty())
            ZeltoDoublePacker::pack(values.data(), qint64(values.size()), data);
    } else if (tag != TagNull) {
        for (int r = 0; r < tailRows; ++r) {
            const QVariant *cell = cellAt(r);
            if (cell && !writer.writeTypedCell(data, plan, *cell))
                return false;
        }
    }
    if (data.overflowed())
        return false;

    const qint64 bitmapBytes = bitmap ? (rows + 7) / 8 : 0;
    out.putByte(plan.mixed ? ColumnMixed : uchar(tag | (bitmap ? ColumnBitmap : 0)));
    if (!plan.mixed && tag == TagDateTime)
        out.putByte(plan.timeKind);
    out.putVarint(quint64(bitmapBytes + kept + data.size()));
    if (bitmap) {
        char *bits = out.claim(bitmapBytes);
        if (!bits)
            return false;
        std::memset(bits, 0, size_t(bitmapBytes));
        // The stored rows before the cut: their bitmap, or all present.
        if (!header.mixed && header.tag != TagNull && column.present > 0) {
            if (header.bitmap) {
                std::memcpy(bits, header.bitmap, size_t(from / 8));
                if (from % 8)
                    bits[from / 8] = char(header.bitmap[from / 8] & ((1u << (from % 8)) - 1));
            } else {
                std::memset(bits, 0xff, size_t(from / 8));
                if (from % 8)
                    bits[from / 8] = char((1u << (from % 8)) - 1);
            }
        }
        for (int r = 0; r < tailRows; ++r) {
            if (cellAt(r))
                bits[(from + r) >> 3] = char(uchar(bits[(from + r) >> 3]) | (1u << ((from + r) & 7)));
        }
    }
    out.putBytes(reinterpret_cast<const char *>(first), kept);
    out.putBytes(data.constData(), data.size());
    sum.catchUp(out);
    return true;
}

void ZeltoTableSplice::RunningSum::catchUp(const ZeltoByteSink &out)
{
    sum = ZeltoChecksum::extend(sum, out.constData() + summed, out.size() - summed);
    summed = out.size();
}
