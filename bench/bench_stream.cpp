// Encodes and decodes five years of hourly archive records (43,800 rows of a
// local "date" column and 40 double columns) through ZeltoStream and prints
// the best of five runs of each, and the size per double cell.

#include "zelto.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <limits>

namespace {

const int Rows = 43800;
const int Doubles = 40;
const int Runs = 5;

ZeltoTable archiveTable()
{
    QStringList columns{ QStringLiteral("date") };
    for (int c = 0; c < Doubles; ++c)
        columns << QStringLiteral("p%1").arg(c);
    const qint64 start = QDateTime(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
    QVector<QVector<QVariant>> rows(Rows);
    for (int r = 0; r < Rows; ++r) {
        QVector<QVariant> &row = rows[r];
        row.reserve(Doubles + 1);
        row.append(QDateTime::fromMSecsSinceEpoch(start + r * 3600000LL, Qt::LocalTime));
        for (int c = 0; c < Doubles; ++c)
            row.append(1000.0 * c + r * 0.125 + 1.0 / (r + c + 1));
    }
    ZeltoTable table;
    table.setContent(columns, std::move(rows));
    return table;
}

double elapsedMs(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main()
{
    Zelto::pinTimeZone();   // as the server does
    const QVariant value = QVariant::fromValue(archiveTable());

    double bestEncode = std::numeric_limits<double>::max();
    double bestDecode = std::numeric_limits<double>::max();
    double bestBoth = std::numeric_limits<double>::max();
    QByteArray bytes;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        QByteArray encoded;
        ZeltoStream writer(&encoded, QIODevice::WriteOnly);
        writer.init();
        writer << value;
        const double encodeMs = elapsedMs(timer);
        if (writer.status() != ZeltoStream::Ok) {
            std::fprintf(stderr, "encode failed: %s\n", qPrintable(writer.errorString()));
            return 1;
        }

        timer.restart();
        QVariant decoded;
        ZeltoStream reader(encoded);
        reader.init();
        reader >> decoded;
        const double decodeMs = elapsedMs(timer);
        if (reader.status() != ZeltoStream::Ok || decoded.value<ZeltoTable>().rowCount() != Rows) {
            std::fprintf(stderr, "decode failed: %s\n", qPrintable(reader.errorString()));
            return 1;
        }

        bestEncode = qMin(bestEncode, encodeMs);
        bestDecode = qMin(bestDecode, decodeMs);
        bestBoth = qMin(bestBoth, encodeMs + decodeMs);
        bytes = encoded;
    }

    std::printf("stream encode %dx%d: %.1f ms\n", Rows, Doubles, bestEncode);
    std::printf("stream decode %dx%d: %.1f ms\n", Rows, Doubles, bestDecode);
    std::printf("stream encode+decode: %.1f ms\n", bestBoth);
    std::printf("stream bytes per double cell: %.2f\n", double(bytes.size()) / (double(Rows) * Doubles));
    std::printf("stream total bytes: %d\n", bytes.size());
    // Qt builds every local QDateTime through mktime, which re-reads the zone
    // file on each call unless TZ is set: that shows in the decode time.
    std::printf("stream TZ: %s\n", qEnvironmentVariableIsSet("TZ") ? qgetenv("TZ").constData() : "(unset)");
    return 0;
}
