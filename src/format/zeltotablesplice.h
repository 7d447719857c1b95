#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <memory>
#include <vector>

class ZeltoByteSink;
class ZeltoTable;
class ZeltoStreamReader;
class ZeltoStreamWriter;

// Changes the end of a table kept as ZeltoStream bytes (a stream holding one
// table, as the database keeps an archive) without decoding the rows before
// it: archives grow at their end, and decoding and encoding five years of
// records for one new day would cost a hundred times the day itself. Reads
// a run of rows the same way, for a month out of five years.
//
// The rows before the change are copied as they are: the stream's checksum
// vouches for their bytes, and walking them to the cut uses the reader's
// bounds checks. What replaceRows() gives is byte for byte what ZeltoStream
// writes for the whole changed table; where it cannot be (the new rows would
// change how a column is stored), it declines and the caller encodes the
// whole table. Any failure here only means "do it the long way": the caller
// then decodes the bytes whole, and that reports what is wrong with them.
class ZeltoTableSplice
{
public:
    ZeltoTableSplice();
    ~ZeltoTableSplice();
    ZeltoTableSplice(const ZeltoTableSplice &) = delete;
    ZeltoTableSplice &operator=(const ZeltoTableSplice &) = delete;

    // Reads the layout of bytes holding one table in the format version this
    // server writes, after checking their checksum; no cell is decoded.
    bool open(const QByteArray &bytes);

    int rowCount() const { return m_rows; }
    const QStringList &columnNames() const { return m_names; }

    // The instants (ms since the epoch) of a column whose every row holds a
    // local-time or UTC date-time, and which of the two; false otherwise.
    bool instants(int column, QVector<qint64> &out, Qt::TimeSpec &timeSpec);

    // The rows from `from` on, decoded, with every column.
    bool readRows(int from, ZeltoTable &out);
    // Rows from up to (not including) to; the bytes after them are not read.
    bool readRows(int from, int to, ZeltoTable &out);

    // The cells of rows from up to (not including) to of one column, as
    // doubles: NaN where a row has none. Only for columns of numbers that a
    // double holds exactly (doubles, ints, unsigned ints) or of no value at
    // all; false for others, mixed ones included. Other columns, and the
    // blocks of doubles after to, are not read.
    bool readNumbers(int column, int from, int to, std::vector<double> &out);
    // The cells of rows from..to (not including to) of one column, decoded
    // (an invalid variant where a row has none); other columns are not read.
    bool readCells(int column, int from, int to, QVector<QVariant> &out);
    // Whether a row has a cell in a column that readNumbers() reads, from
    // its bitmap (such a cell is never null); false for other columns,
    // whose cells tell only when read.
    bool numberPresence(int column, int row, bool &present) const;

    // The stream of the table whose first `from` rows are the stored ones and
    // whose further rows are tail's. Tail has the stored columns, then any
    // new ones (empty in the stored rows). False for other columns, or when a
    // column would change its kind of cells.
    bool replaceRows(int from, const ZeltoTable &tail, QByteArray &out);

private:
    struct Column;

    bool seek(int from);
    bool seekColumn(Column &column, int from);
    // The checksum of the value being written, up to its byte `summed`.
    struct RunningSum
    {
        quint32 sum = 0;
        qint64 summed = 0;
        // Adds the bytes written since.
        void catchUp(const ZeltoByteSink &out);
    };
    bool writeColumn(Column &column, int from, const ZeltoTable &tail, int c, ZeltoByteSink &out, RunningSum &sum);

    // The column names of tables opened before, by the bytes that hold them.
    struct KnownNames
    {
        QByteArray bytes;
        QStringList names;
    };
    static constexpr int kKnownNames = 4;

    QByteArray m_bytes;
    const uchar *m_base = nullptr;
    int m_rows = 0;
    int m_seeked = -1;   // the row the columns' cuts are at
    QStringList m_names;
    std::vector<Column> m_columns;
    std::unique_ptr<ZeltoStreamReader> m_reader;
    std::unique_ptr<ZeltoStreamWriter> m_writer;
    KnownNames m_knownNames[kKnownNames];
    int m_nextKnown = 0;   // the slot the next new names take
    // readNumbers()' buffers, kept from call to call and table to table: no allocation once they have grown.
    std::vector<double> m_values, m_block;
};
