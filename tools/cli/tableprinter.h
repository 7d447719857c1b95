#pragma once

#include "zeltotable.h"

#include <QString>

// Renders a table as aligned text columns for a terminal. Widths count
// characters, not bytes, so Cyrillic text lines up.
class TablePrinter
{
public:
    static QString render(const ZeltoTable &table);
    static QString cellText(const QVariant &value);
};
