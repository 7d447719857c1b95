#include "watervolume.h"

#include "columnaggregates.h"

#include <cmath>

namespace {

struct Pipe {
    const char *mass;
    const char *pressure;
    const char *temperature;
    const char *volume;
};

const Pipe kPipes[] = {{"S1_G1", "S1_P1", "S1_t1", "S1_V1"},
                       {"S1_G2", "S1_P2", "S1_t2", "S1_V2"},
                       {"S2_G3", "S2_P3", "S2_t3", "S2_V3"},
                       {"S2_G4", "S2_P4", "S2_t4", "S2_V4"}};

struct Difference {
    const char *minuend;
    const char *subtrahend;
    const char *difference;
};

const Difference kDifferences[] = {{"S1_V1", "S1_V2", "S1_dV12"}, {"S2_V3", "S2_V4", "S2_dV34"}};

// Critical temperature (K) and pressure (MPa) of water; one kgf/cm² in MPa.
const double kCriticalTemperature = 647.14;
const double kCriticalPressure = 22.064;
const double kKgfPerCm2InMPa = 0.10132497675823464;

} // namespace

double WaterVolume::specificVolume(double t, double p)
{
    const double tau = (t + 273.15) / kCriticalTemperature;
    const double pi = (p + 1) * kKgfPerCm2InMPa / kCriticalPressure;
    const double tau2 = tau * tau, tau3 = tau2 * tau, tau4 = tau3 * tau, tau5 = tau4 * tau, tau6 = tau5 * tau;
    const double a = 114.332 * tau - 431.6382 + 706.5474 / tau - 641.9127 / tau2 + 349.4417 / tau3 - 113.8191 / tau4
        + 20.5199 / tau5 - 1.578507 / tau6;
    const double b = 6.589303 / tau - 3.117072 - 5.210142 / tau2 + 1.819096 / tau3 - 0.2365448 / tau4;
    const double c = -6.417443 * tau + 19.84842 - 24.00174 / tau + 14.21655 / tau2 - 4.13194 / tau3
        + 0.4721637 / tau4;
    return a + b * pi + c * pi * pi;
}

const QStringList &WaterVolume::columns()
{
    static const QStringList names = [] {
        QStringList list;
        for (const Pipe &pipe : kPipes)
            list.append(QLatin1String(pipe.volume));
        for (const Difference &difference : kDifferences)
            list.append(QLatin1String(difference.difference));
        return list;
    }();
    return names;
}

QStringList WaterVolume::derive(ZeltoTable &table)
{
    QStringList written;
    auto column = [&table](const char *name) { return table.columnIndex(QLatin1String(name)); };
    for (const Pipe &pipe : kPipes) {
        const int mass = column(pipe.mass), pressure = column(pipe.pressure), temperature = column(pipe.temperature);
        if (mass < 0 || pressure < 0 || temperature < 0)
            continue;
        int volume = -1;
        for (int row = 0; row < table.rowCount(); ++row) {
            const QVariant g = table.value(row, mass), p = table.value(row, pressure), t = table.value(row, temperature);
            if (!ColumnAggregates::isReading(g) || !ColumnAggregates::isReading(p) || !ColumnAggregates::isReading(t))
                continue;
            // Readings far outside the formula's range give no volume rather than infinity.
            const double value = g.toDouble() * specificVolume(t.toDouble(), p.toDouble());
            if (!std::isfinite(value))
                continue;
            if (volume < 0)
                volume = table.appendColumn(QLatin1String(pipe.volume));
            table.setValue(row, volume, value);
        }
        if (volume >= 0)
            written.append(QLatin1String(pipe.volume));
    }
    for (const Difference &difference : kDifferences) {
        const int minuend = column(difference.minuend), subtrahend = column(difference.subtrahend);
        if (minuend < 0 || subtrahend < 0)
            continue;
        int result = -1;
        for (int row = 0; row < table.rowCount(); ++row) {
            const QVariant a = table.value(row, minuend), b = table.value(row, subtrahend);
            if (!ColumnAggregates::isReading(a) || !ColumnAggregates::isReading(b))
                continue;
            if (result < 0)
                result = table.appendColumn(QLatin1String(difference.difference));
            table.setValue(row, result, a.toDouble() - b.toDouble());
        }
        if (result >= 0)
            written.append(QLatin1String(difference.difference));
    }
    return written;
}
