#pragma once

#include <QString>

// The archives a node keeps, by the names of their columns in the node's row
// (and of their tables in a save or a report).
namespace ArchiveNames {

inline const QString currentData = QStringLiteral("current_data");
inline const QString hourData = QStringLiteral("hour_data");
inline const QString dayData = QStringLiteral("day_data");
inline const QString dayTotals = QStringLiteral("day_totals");
inline const QString monthData = QStringLiteral("month_data");
inline const QString monthTotals = QStringLiteral("month_totals");

} // namespace ArchiveNames
