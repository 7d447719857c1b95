// Encodes and decodes five years of hourly archive records (43,800 rows of a
// local "date" column and the parameters of a meter with four heating
// systems) through ZeltoStream, in every version of the format side by side:
// the readings as the device polling simulator makes them, and the same
// table with random doubles. Prints the best of five runs of
// each (wall and CPU time), the speed in MB of raw table data (8 bytes a
// cell, the dates included) per second of CPU time, and the bytes per
// double cell.

#include "benchtables.h"
#include "zelto.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <limits>

#include <malloc.h>
#include <time.h>

namespace {

const int Runs = 5;

// CPU time of the calling thread: other work on the machine stretches wall
// times, so the speeds are given for both.
double cpuMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Timing
{
    double wall = std::numeric_limits<double>::max();
    double cpu = std::numeric_limits<double>::max();
};

class Timer
{
public:
    Timer() : m_cpu(cpuMs()) { m_wall.start(); }
    void addTo(Timing &best) const
    {
        best.wall = qMin(best.wall, m_wall.nsecsElapsed() / 1e6);
        best.cpu = qMin(best.cpu, cpuMs() - m_cpu);
    }

private:
    QElapsedTimer m_wall;
    double m_cpu;
};

bool measure(const char *name, const ZeltoTable &table, int version)
{
    ZeltoStream::setWriteVersion(version);
    const QVariant value = QVariant::fromValue(table);
    Timing encode, decode;
    QByteArray bytes;
    for (int run = 0; run < Runs; ++run) {
        QByteArray encoded;
        const Timer encoding;
        ZeltoStream writer(&encoded, QIODevice::WriteOnly);
        writer.init();
        writer << value;
        encoding.addTo(encode);
        if (writer.status() != ZeltoStream::Ok) {
            std::fprintf(stderr, "encode failed: %s\n", qPrintable(writer.errorString()));
            return false;
        }

        QVariant decoded;
        const Timer decoding;
        ZeltoStream reader(encoded);
        reader.init();
        reader >> decoded;
        decoding.addTo(decode);
        if (reader.status() != ZeltoStream::Ok || decoded.value<ZeltoTable>() != table) {
            std::fprintf(stderr, "decode failed: %s\n", qPrintable(reader.errorString()));
            return false;
        }
        bytes = encoded;
    }
    const double doubleCells = BenchTables::doubleCells(table);
    const double rawMB = double(table.rowCount()) * table.columnCount() * 8 / 1e6;
    std::printf("%-7s v%d  encode %5.1f ms, CPU %5.1f ms (%4.0f MB/s)  decode %5.1f ms, CPU %5.1f ms (%4.0f MB/s)"
                "  %5.2f bytes/double cell, %8d bytes\n",
                name, version, encode.wall, encode.cpu, rawMB / encode.cpu * 1e3, decode.wall, decode.cpu,
                rawMB / decode.cpu * 1e3, bytes.size() / doubleCells, bytes.size());
    return true;
}

} // namespace

// An argument "meter" or "random" measures that data set alone.
int main(int argc, char **argv)
{
    const QByteArray only = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    // As the server does.
    Zelto::pinTimeZone();
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    const bool meterToo = only.isEmpty() || only == "meter";
    const bool randomToo = only.isEmpty() || only == "random";
    const ZeltoTable meter = BenchTables::fiveYears();
    const ZeltoTable random = randomToo ? BenchTables::randomDoubles(meter) : ZeltoTable();
    std::printf("stream, %d rows x %d columns (%.0f double cells), best of %d:\n", meter.rowCount(),
                meter.columnCount(), BenchTables::doubleCells(meter), Runs);
    for (int version = 1; version <= ZeltoStream::FormatVersion; ++version) {
        if ((meterToo && !measure("meter", meter, version)) || (randomToo && !measure("random", random, version)))
            return 1;
    }
    // Qt builds every local QDateTime through mktime, which re-reads the zone
    // file on each call unless TZ is set: that shows in the decode time.
    std::printf("stream TZ: %s\n", qEnvironmentVariableIsSet("TZ") ? qgetenv("TZ").constData() : "(unset)");
    return 0;
}
