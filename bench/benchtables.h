#pragma once

// Archive tables for the stream and archive benchmarks: five years of
// hourly records of a meter with four heating systems, as the meter
// reports them, and the same shape filled with random doubles.

#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>

#include <cmath>
#include <cstring>

namespace BenchTables {

const int kHours = 5 * 365 * 24;   // 43,800

inline QStringList parameterColumns()
{
    static const char *const quantities[] = {"t1", "t2", "dt", "P1", "P2", "G1", "G2", "V1", "V2", "Q"};
    QStringList columns;
    for (int system = 1; system <= 4; ++system)
        for (const char *quantity : quantities)
            columns << QStringLiteral("S%1_%2").arg(system).arg(QLatin1String(quantity));
    return columns;
}

inline quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// -0.5 .. 0.5
inline double noise(quint64 seed, qint64 index)
{
    return double(mix(seed ^ mix(quint64(index))) >> 11) / 9007199254740992.0 - 0.5;
}

inline double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// count rows on the hour from first: temperatures to 0.01 that follow the
// season and the hour of the day, pressures to 0.001 around 6 and 3, hourly
// amounts of mass, volume and heat to 0.001 with the load.
inline ZeltoTable meterArchive(const QDateTime &first, int count)
{
    const QStringList params = parameterColumns();
    QVector<QVector<QVariant>> rows(count);
    const double twoPi = 6.283185307179586;
    for (int r = 0; r < count; ++r) {
        const QDateTime date = first.addSecs(3600LL * r);
        const double hour = double(date.toMSecsSinceEpoch() / 3600000);
        QVector<QVariant> &row = rows[r];
        row.reserve(params.size() + 1);
        row.append(date);
        for (int system = 1; system <= 4; ++system) {
            const quint64 seed = quint64(system) * 1000;
            const double load = 0.5 + 0.38 * std::cos(twoPi * (hour - 350) / 8766) + 0.1 * std::cos(twoPi * (hour - 6 - system) / 24);
            const double flow = 3 + 4 * system;
            const double t1 = rounded(60 + 35 * load + 0.6 * noise(seed + 1, r), 2);
            const double t2 = rounded(35 + 25 * load + 0.4 * noise(seed + 2, r), 2);
            const double g1 = rounded(flow * (1 + 0.05 * noise(seed + 3, r)), 3);
            const double g2 = rounded(g1 * 0.99, 3);
            row << t1 << t2 << rounded(t1 - t2, 2) << rounded(6 + 0.6 * noise(seed + 4, r), 3)
                << rounded(3 + 0.4 * noise(seed + 5, r), 3) << g1 << g2 << rounded(g1 * 1.025, 3)
                << rounded(g2 * 1.025, 3) << rounded(g1 * (t1 - t2) / 1000, 3);
        }
    }
    ZeltoTable table;
    table.setContent(QStringList{QStringLiteral("date")} + params, std::move(rows));
    return table;
}

// The same dates with doubles of random bits (NaNs and infinities left out).
inline ZeltoTable randomArchive(const QDateTime &first, int count)
{
    const QStringList params = parameterColumns();
    QVector<QVector<QVariant>> rows(count);
    quint64 state = 1;
    for (int r = 0; r < count; ++r) {
        QVector<QVariant> &row = rows[r];
        row.reserve(params.size() + 1);
        row.append(first.addSecs(3600LL * r));
        for (int c = 0; c < params.size(); ++c) {
            double d;
            do {
                const quint64 bits = mix(state++);
                std::memcpy(&d, &bits, sizeof d);
            } while (!std::isfinite(d));
            row.append(d);
        }
    }
    ZeltoTable table;
    table.setContent(QStringList{QStringLiteral("date")} + params, std::move(rows));
    return table;
}

} // namespace BenchTables
