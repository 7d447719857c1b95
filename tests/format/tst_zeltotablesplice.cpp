#include "streamtesting.h"
#include "zeltotable.h"
#include "zeltotablesplice.h"

#include <QtTest>

namespace {

QByteArray encode(const ZeltoTable &table, int version = 0) { return encodeStream(QVariant::fromValue(table), nullptr, version); }

// Rows from..to of table, then those of tail.
ZeltoTable rows(const ZeltoTable &table, int from, int to, const ZeltoTable &tail = ZeltoTable())
{
    QVector<QVector<QVariant>> cells;
    for (int r = from; r < to; ++r)
        cells.append(table.rowCells(r));
    for (int r = 0; r < tail.rowCount(); ++r)
        cells.append(tail.rowCells(r));
    ZeltoTable result;
    result.setContent(table.columnNames(), std::move(cells));
    return result;
}

const QStringList kColumns = { "date", "t1", "counter", "noise", "special", "count", "note", "flag", "marker" };

// An archive-like row: hourly date, decimals, counter, noise, specials, integers, texts,
// sparse flags, numbers among markers. `odd` brings cells of other kinds.
QVector<QVariant> archiveRow(int r, QRandomGenerator &random, bool odd)
{
    static const double specials[] = { 0.0, -0.0, std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::infinity(), 5e-324, 1.5 };
    QVector<QVariant> row;
    row << QDateTime(QDate(2021, 3, 1), QTime(0, 0), Qt::LocalTime).addSecs(3600LL * r)
        << std::round((60 + 10 * std::sin(r / 24.0) + random.bounded(1.0)) * 100) / 100 << 1000.0 + r * 0.125
        << random.generateDouble() * 1e6 << specials[random.bounded(6)] << int(random.bounded(100)) - 50
        << QVariant(r % 7 == 0 ? QStringLiteral("заметка %1").arg(r) : QString())
        << (r % 5 == 0 ? QVariant(true) : QVariant())
        << (r % 11 == 0 ? QVariant::fromValue(ZeltoOutOfRange()) : QVariant(double(r)));
    if (odd) {
        switch (random.bounded(6)) {
        case 0: row[1] = QStringLiteral("текст среди чисел"); break;
        case 1: row[2] = QVariant(); break;
        case 2: row[0] = QDateTime(QDate(2021, 3, 1), QTime(0, 0), Qt::UTC).addSecs(3600LL * r); break;
        case 3: row[5] = qlonglong(r); break;
        case 4: row[8] = 1.25; break;
        default: row[3] = QVariant(QVariant::Double); break;
        }
    }
    return row;
}

ZeltoTable archive(int first, int count, QRandomGenerator &random, int oddEvery = 0)
{
    QVector<QVector<QVariant>> cells;
    for (int r = first; r < first + count; ++r)
        cells.append(archiveRow(r, random, oddEvery && random.bounded(oddEvery) == 0));
    ZeltoTable table;
    table.setContent(kColumns, std::move(cells));
    return table;
}

} // namespace

class TestZeltoTableSplice : public QObject
{
    Q_OBJECT

private slots:
    // Whatever the cut and the new rows, a splice gives the bytes of encoding the whole
    // new table, or declines; the rows it reads from the cut on are the stored ones.
    void spliceMatchesWholeEncoding()
    {
        QRandomGenerator random(20261206);
        int spliced = 0;
        for (int round = 0; round < 60; ++round) {
            const int count = int(random.bounded(1400));
            const bool odd = round % 3 == 0 || round % 2 == 1;
            const ZeltoTable stored = archive(0, count, random, round % 3 == 0 ? 500 : 0);
            ZeltoTableSplice splice;
            if (count == 0)
                continue;
            QVERIFY2(splice.open(encode(stored)), qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(splice.rowCount(), count);
            const int from = round % 4 == 0 ? count : int(random.bounded(count + 1));

            ZeltoTable read;
            QVERIFY(splice.readRows(from, read));
            QCOMPARE(encode(read), encode(rows(stored, from, count)));

            const ZeltoTable tail = archive(from, int(random.bounded(40)), random, round % 2 ? 8 : 0);
            QByteArray out;
            if (splice.replaceRows(from, tail, out)) {
                ++spliced;
                QCOMPARE(out, encode(rows(stored, 0, from, tail)));
            } else {
                // Rows of the same kinds after stored ones always splice.
                QVERIFY2(odd || from == 0, qPrintable(QStringLiteral("round %1 declined").arg(round)));
            }
        }
        QVERIFY(spliced > 20);
    }

    // The everyday case: a day appended to a long hourly archive.
    void appendsToArchive()
    {
        QRandomGenerator random(7);
        const ZeltoTable stored = archive(0, 5000, random);
        ZeltoTableSplice splice;
        QVERIFY(splice.open(encode(stored)));
        QVector<qint64> instants;
        Qt::TimeSpec timeSpec = Qt::UTC;
        QVERIFY(splice.instants(0, instants, timeSpec));
        QVERIFY(timeSpec == Qt::LocalTime && instants.size() == 5000);
        QCOMPARE(instants.last(), stored.value(4999, 0).toDateTime().toMSecsSinceEpoch());
        const ZeltoTable day = archive(5000, 24, random);
        QByteArray out;
        QVERIFY(splice.replaceRows(5000, day, out));
        QCOMPARE(out, encode(rows(stored, 0, stored.rowCount(), day)));
        // A column that changes its kind of cells is left to the whole encoding.
        ZeltoTable odd = day;
        odd.setValue(3, 1, QStringLiteral("текст"));
        QVERIFY(!splice.replaceRows(5000, odd, out));
        odd = day;
        odd.appendColumn(QStringLiteral("new"));
        QVERIFY(!splice.replaceRows(5000, odd, out));
        // Instants only of a date-time column with every row present.
        QVERIFY(!splice.instants(1, instants, timeSpec));
    }

    // Only a sound stream of one table in the current version is opened.
    void opensOnlyWholeCurrentTables()
    {
        QRandomGenerator random(3);
        const QByteArray good = encode(archive(0, 50, random));
        ZeltoTableSplice splice;
        QVERIFY(splice.open(good));
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(flipped.at(good.size() / 2) ^ 4);
        for (const QByteArray &bytes : { QByteArray(), good.left(good.size() - 1), good + good.mid(1), flipped,
                                         encodeStream(QVariantList{1, 2}), encode(archive(0, 50, random), 1),
                                         QByteArray(1, char(1)) + good.mid(1) }) {
            QVERIFY(!splice.open(bytes));
            ZeltoTable table;
            QByteArray out;
            QVERIFY(!splice.readRows(0, table) && !splice.replaceRows(0, table, out));
        }
        // A server writing the older version does not splice.
        ZeltoStream::setWriteVersion(1);
        QVERIFY(!splice.open(good));
        ZeltoStream::setWriteVersion(ZeltoStream::FormatVersion);
    }

    // Damaged tables with a matching checksum: never a crash, and a splice that
    // succeeds gives a stream that reads whenever the original did.
    void damageFuzz()
    {
        QRandomGenerator random(11);
        const QByteArray good = encode(archive(0, 1100, random, 300));
        const QByteArray value = good.mid(5, good.size() - 9);
        const ZeltoTable day = archive(1100, 24, random);
        for (int round = 0; round < 300; ++round) {
            QByteArray damaged = value;
            for (int e = 0; e < 1 + int(random.bounded(3)); ++e) {
                const int at = 1 + int(random.bounded(damaged.size() - 1));
                if (random.bounded(3) == 0)
                    damaged.remove(at, 1 + int(random.bounded(4)));
                else
                    damaged[at] = char(random.bounded(256));
            }
            const QByteArray bytes = version2Stream(damaged);
            ZeltoTableSplice splice;
            if (!splice.open(bytes))
                continue;
            ZeltoTable read;
            splice.readRows(int(random.bounded(splice.rowCount() + 1)), read);
            QVector<qint64> instants;
            Qt::TimeSpec timeSpec;
            splice.instants(0, instants, timeSpec);
            QByteArray out;
            ZeltoStream::Status original, spliced;
            decodeStream(bytes, &original);
            if (splice.replaceRows(qMin(splice.rowCount(), 1100), day, out) && original == ZeltoStream::Ok) {
                decodeStream(out, &spliced);
                QCOMPARE(spliced, ZeltoStream::Ok);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestZeltoTableSplice)
#include "tst_zeltotablesplice.moc"
