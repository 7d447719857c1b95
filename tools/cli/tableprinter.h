#pragma once

#include "zeltotable.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Renders a table as aligned text columns for a terminal. Widths count
// characters, not bytes, so Cyrillic text lines up.
class TablePrinter
{
public:
    static QString render(const ZeltoTable &table);
    // Cells already written as text; right-aligned columns line up their ends.
    // With wrapAt, header cells longer than that and than their column's
    // values are wrapped at blanks onto several lines.
    static QString render(const QStringList &header, const QVector<QStringList> &rows,
                          const QVector<bool> &rightAligned, int wrapAt = 0);
    static QString cellText(const QVariant &value);
};
