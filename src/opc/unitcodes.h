#pragma once

#include <QString>

// The UN/CEFACT common code (Recommendation 20) of a unit as the catalogue
// writes it, which OPC UA clients read as the unit's id. Units the
// recommendation has no code for (gigacalories, kgf/cm2, hh:mm) have none.
class UnitCodes
{
public:
    // "CEL" for "°C"; empty for units without a code and for unknown texts.
    static QString commonCode(const QString &unit);
};
