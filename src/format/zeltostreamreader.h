#pragma once

#include "zeltolocaltime.h"
#include "zeltostream.h"
#include "zeltostreamformat.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVector>

#include <vector>

class ZeltoTable;

// Reads variants in the ZeltoStream byte format (see zeltostream.h) from
// bytes it does not trust: every count and length is checked against the
// bytes left before anything is allocated, and nesting is bounded. Tables
// are read row by row, with one cursor per column. One reader serves one
// value.
class ZeltoStreamReader
{
public:
    // A window on the input. Inside a table column the window is the
    // column's declared size, and running out of it means the size was wrong.
    struct Cursor
    {
        const uchar *p;
        const uchar *end;
        bool withinColumn;

        qint64 left() const { return end - p; }
    };

    // base: the start of the input, for positions in messages; version: of
    // the format, as the stream's first byte says.
    ZeltoStreamReader(const uchar *base, int version) : m_base(base), m_version(version) {}

    // False on corrupt or truncated input, with status() and error() saying
    // which; out is then unspecified and c somewhere inside the value.
    bool readValue(Cursor &c, int depth, QVariant &out);

    ZeltoStream::Status status() const { return m_status; }
    QString error() const { return m_error; }

private:
    // Reads the end of a stored table and writes its new end.
    friend class ZeltoTableSplice;

    // One column of a table being read.
    struct ColumnReader
    {
        int tag = ZeltoStreamFormat::TagNull;
        bool mixed = false;
        const uchar *bitmap = nullptr;
        Cursor cells = { nullptr, nullptr, true };
        Qt::TimeSpec timeSpec = Qt::LocalTime;
        qint64 previous = 0;
        bool packed = false;         // doubles in blocks (version 2)
        std::vector<double> block;   // the current block of packed doubles
        size_t next = 0;             // its next value

        bool present(int row) const
        {
            if (mixed)
                return cells.p >= cells.end || *cells.p != ZeltoStreamFormat::TagNull;
            return tag != ZeltoStreamFormat::TagNull && (!bitmap || (bitmap[row >> 3] & (1u << (row & 7))));
        }
    };

    bool readByte(Cursor &c, uchar &out);
    bool readVarint(Cursor &c, quint64 &out);
    bool readZigzag(Cursor &c, qint64 &out);
    bool readDouble(Cursor &c, double &out);
    bool readCount(Cursor &c, int minBytesEach, int &out);
    bool readText(Cursor &c, const char *&data, int &size, bool &isNull);
    bool readString(Cursor &c, QString &out);
    bool readScalarBody(Cursor &c, int tag, QVariant &out);
    bool readDateTime(Cursor &c, QDateTime &out);
    bool readTable(Cursor &c, int depth, ZeltoTable &out);
    bool readRows(std::vector<ColumnReader> &columns, int firstRow, QVector<QVector<QVariant>> &rows, int depth,
                  bool toEnd);
    bool readColumnHeader(Cursor &c, quint64 rows, ColumnReader &column);
    bool readTypedCell(ColumnReader &column, QVariant &out);

    bool pastEnd(const Cursor &c);
    bool corrupt(const Cursor &c, const QString &what);
    qint64 position(const Cursor &c) const { return c.p - m_base; }

    const uchar *m_base;
    const int m_version;
    quint64 m_rowsWithoutColumns = 0;
    ZeltoLocalTime m_localTime;
    ZeltoStream::Status m_status = ZeltoStream::Ok;
    QString m_error;
};
