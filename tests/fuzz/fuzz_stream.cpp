// The variant stream of the stored values. The bytes are read as a stream as
// they are, and once more with all but the first byte framed as one value of
// version 2 with the right checksum, so that mutations reach the value reader
// behind the checksum too. Every value read is written in both versions, and
// what is written must read back to a value that is written the same again.
// A framed table is also read a column and a run of rows at a time, in place,
// as group totals read archives: what that gives must be the table's own cells.
#include "fuzzing.h"
#include "samevalue.h"
#include "streamtesting.h"
#include "zeltotable.h"
#include "zeltotablesplice.h"

#include <cmath>
#include <vector>

namespace {

// The value in that version's bytes; empty when it cannot be written.
QByteArray written(const QVariant &value, int version)
{
    ZeltoStream::Status status;
    const QByteArray bytes = encodeStream(value, &status, version);
    return status == ZeltoStream::Ok ? bytes : QByteArray();
}

void checkWritten(const QVariant &value)
{
    for (int version = 1; version <= ZeltoStream::FormatVersion; ++version) {
        const QByteArray once = written(value, version);
        if (once.isEmpty())
            continue;
        ZeltoStream stream(once);
        QVariant back;
        stream >> back;
        Fuzzing::expect(stream.status() == ZeltoStream::Ok && stream.atEnd(), "a written value reads back");
        Fuzzing::expectSame(once, written(back, version), "a value read back is written the same");
    }
}

void readAll(const QByteArray &bytes)
{
    ZeltoStream stream(bytes);
    while (!stream.atEnd()) {
        QVariant value;
        stream >> value;
        if (stream.status() != ZeltoStream::Ok)
            return;
        checkWritten(value);
    }
}

// Reads of columns in place against the table decoded whole (when it is: the
// reads must then work); without a whole table they must merely not crash.
void readInPlace(const QByteArray &framed)
{
    ZeltoTableSplice splice;
    if (!splice.open(framed))
        return;
    ZeltoStream stream(framed);
    QVariant whole;
    stream >> whole;
    const bool decoded = stream.status() == ZeltoStream::Ok && whole.userType() == qMetaTypeId<ZeltoTable>();
    const ZeltoTable table = whole.value<ZeltoTable>();
    const int rows = splice.rowCount();
    const int runs[][2] = {{0, rows}, {rows / 2, rows}, {rows / 3, qMin(rows, rows / 3 + 1)}};
    for (int c = 0; c < splice.columnNames().size(); ++c) {
        for (const auto &run : runs) {
            std::vector<double> numbers;
            QVector<QVariant> cells;
            const bool numbersRead = splice.readNumbers(c, run[0], run[1], numbers);
            const bool cellsRead = splice.readCells(c, run[0], run[1], cells);
            bool present = false;
            const bool presenceKnown = run[0] < rows && splice.numberPresence(c, run[0], present);
            if (!decoded)
                continue;
            Fuzzing::expect(cellsRead, "the cells of a table that decodes read in place");
            for (int r = run[0]; r < run[1]; ++r) {
                const QVariant cell = table.value(r, c);
                Fuzzing::expectSame(written(cells.value(r - run[0]), 2), written(cell, 2), "a cell read in place");
                if (numbersRead)
                    Fuzzing::expect(cell.isValid() ? bitsOf(numbers.at(size_t(r - run[0]))) == bitsOf(cell.toDouble())
                                                   : std::isnan(numbers.at(size_t(r - run[0]))),
                                    "a number read in place");
            }
            if (presenceKnown)
                Fuzzing::expect(present == !table.value(run[0], c).isNull(), "a cell's presence from the bitmap");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzzing::bytes(data, size);
    readAll(input);

    const QByteArray framed = version2Stream(input.mid(1));
    readAll(framed);
    readInPlace(framed);
    return 0;
}
