#pragma once

#include "zeltotable.h"

#include <QStringList>

// Volumes of the heat carrier derived from its mass, for meters that count
// mass only: the volume of a pipe is its mass times the specific volume of
// water at the pipe's temperature and pressure.
class WaterVolume
{
public:
    // Specific volume of water in cubic metres per tonne at t °C and the
    // gauge pressure p in kgf/cm² (an industrial approximation over reduced
    // temperature and pressure; 1.0224 at 70 °C and 6 kgf/cm²).
    static double specificVolume(double t, double p);

    // For every row and pipe whose mass, pressure and temperature are
    // readings: the pipe's volume (S1_V1, S1_V2 of system 1; S2_V3, S2_V4 of
    // system 2), then the differences S1_dV12 and S2_dV34 where both volumes
    // are known. The columns written, in order.
    static QStringList derive(ZeltoTable &table);
    // Every column derive may write.
    static const QStringList &columns();
};
