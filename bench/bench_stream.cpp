// Encodes and decodes five years of hourly archive records (43,800 rows of a
// local "date" column and 40 double columns) through ZeltoStream, in every
// version of the format side by side: meter readings as the device polling
// simulator makes them, and random doubles. Prints the best of five runs of
// each, the speed in MB of raw table data (8 bytes a cell, the dates
// included) per second, and the bytes per double cell.

#include "benchtables.h"
#include "zelto.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <limits>

namespace {

const int Runs = 5;

double elapsedMs(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

bool measure(const char *name, const ZeltoTable &table, int version)
{
    ZeltoStream::setWriteVersion(version);
    const QVariant value = QVariant::fromValue(table);
    double bestEncode = std::numeric_limits<double>::max();
    double bestDecode = std::numeric_limits<double>::max();
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
            return false;
        }

        timer.restart();
        QVariant decoded;
        ZeltoStream reader(encoded);
        reader.init();
        reader >> decoded;
        const double decodeMs = elapsedMs(timer);
        if (reader.status() != ZeltoStream::Ok || decoded.value<ZeltoTable>() != table) {
            std::fprintf(stderr, "decode failed: %s\n", qPrintable(reader.errorString()));
            return false;
        }
        bestEncode = qMin(bestEncode, encodeMs);
        bestDecode = qMin(bestDecode, decodeMs);
        bytes = encoded;
    }
    const double doubleCells = double(table.rowCount()) * (table.columnCount() - 1);
    const double rawMB = double(table.rowCount()) * table.columnCount() * 8 / 1e6;
    std::printf("%-9s v%d  encode %6.1f ms (%5.0f MB/s)  decode %6.1f ms (%5.0f MB/s)  %5.2f bytes/double cell  %9d bytes\n",
                name, version, bestEncode, rawMB / bestEncode * 1e3, bestDecode, rawMB / bestDecode * 1e3,
                bytes.size() / doubleCells, bytes.size());
    return true;
}

} // namespace

int main()
{
    Zelto::pinTimeZone();   // as the server does
    const QDateTime start(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime);
    const ZeltoTable meter = BenchTables::meterArchive(start, BenchTables::kHours);
    const ZeltoTable random = BenchTables::randomArchive(start, BenchTables::kHours);
    std::printf("stream, %d rows x (date + %d doubles), best of %d:\n", meter.rowCount(), meter.columnCount() - 1, Runs);
    for (int version = 1; version <= ZeltoStream::FormatVersion; ++version) {
        if (!measure("meter", meter, version) || !measure("random", random, version))
            return 1;
    }
    // Qt builds every local QDateTime through mktime, which re-reads the zone
    // file on each call unless TZ is set: that shows in the decode time.
    std::printf("stream TZ: %s\n", qEnvironmentVariableIsSet("TZ") ? qgetenv("TZ").constData() : "(unset)");
    return 0;
}
