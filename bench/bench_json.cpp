// Wire codec speed on a year of hourly records: 8,760 rows, a "date" column
// and 39 measured values. Prints the best of five runs of each direction.
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltotable.h"

#include "zelto.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr int Rows = 8760;
constexpr int Columns = 40;
constexpr int Runs = 5;

ZeltoTable hourlyYear()
{
    QStringList columns{QStringLiteral("date")};
    for (int c = 1; c < Columns; ++c)
        columns.append(QStringLiteral("p%1").arg(c));
    QRandomGenerator random(2024);
    const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::LocalTime);
    QVector<QVector<QVariant>> rows;
    rows.reserve(Rows);
    for (int r = 0; r < Rows; ++r) {
        QVector<QVariant> cells;
        cells.reserve(Columns);
        cells.append(start.addSecs(qint64(r) * 3600));
        // Readings as devices deliver them: a few decimals, mixed magnitudes.
        for (int c = 1; c < Columns; ++c) {
            const double scale = c % 3 == 0 ? 100000.0 : c % 3 == 1 ? 100.0 : 1.0;
            cells.append(std::round(random.generateDouble() * scale * 1000.0) / 1000.0);
        }
        rows.append(std::move(cells));
    }
    ZeltoTable table;
    table.setContent(columns, std::move(rows));
    return table;
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();  // as the server does
    QCoreApplication app(argc, argv);
    const QVariant value = QVariant::fromValue(hourlyYear());

    QByteArray text;
    double bestEncode = std::numeric_limits<double>::max();
    for (int run = 0; run < Runs; ++run) {
        QByteArray out;
        ZeltoJsonWriter writer;
        QElapsedTimer timer;
        timer.start();
        if (!writer.write(value, out)) {
            fprintf(stderr, "write failed: %s\n", qPrintable(writer.errorString()));
            return 1;
        }
        bestEncode = std::min(bestEncode, timer.nsecsElapsed() / 1e6);
        text = out;
    }

    QVariant back;
    double bestDecode = std::numeric_limits<double>::max();
    for (int run = 0; run < Runs; ++run) {
        ZeltoJsonReader reader;
        back = QVariant();
        QElapsedTimer timer;
        timer.start();
        if (!reader.read(text, back)) {
            fprintf(stderr, "read failed: %s\n", qPrintable(reader.errorString()));
            return 1;
        }
        bestDecode = std::min(bestDecode, timer.nsecsElapsed() / 1e6);
    }
    if (back.userType() != qMetaTypeId<ZeltoTable>() || back.value<ZeltoTable>() != value.value<ZeltoTable>()) {
        fprintf(stderr, "the table did not read back equal\n");
        return 1;
    }

    printf("json encode %dx%d: %.1f ms (%.1f MB)\n", Rows, Columns, bestEncode, text.size() / 1e6);
    printf("json decode %dx%d: %.1f ms\n", Rows, Columns, bestDecode);
    return 0;
}
