#pragma once

#include <QString>

// The element, attribute and marker texts of the table exchange format
// (grammar: TableXmlWriter), shared by its writer and its reader.
namespace TableXmlNames {

inline const QString kType = QStringLiteral("type");
inline const QString kItem = QStringLiteral("item");
inline const QString kRecord = QStringLiteral("record");
inline const QString kOutOfRange = QStringLiteral("OutOfRange");
inline const QString kUnused = QStringLiteral("Unused");

} // namespace TableXmlNames
