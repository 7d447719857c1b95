#pragma once

#include <QMetaType>

// Cell markers. A device reports some parameters as out of its measuring
// range or as not delivered at all; these values say so inside a table cell
// without being mistaken for a number or for a missing value.
struct ZeltoOutOfRange
{
    bool operator==(const ZeltoOutOfRange &) const { return true; }
    bool operator!=(const ZeltoOutOfRange &) const { return false; }
};

struct ZeltoUnused
{
    bool operator==(const ZeltoUnused &) const { return true; }
    bool operator!=(const ZeltoUnused &) const { return false; }
};

// Small and trivially copyable: variants hold them inline, not on the heap.
Q_DECLARE_TYPEINFO(ZeltoOutOfRange, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(ZeltoUnused, Q_PRIMITIVE_TYPE);

Q_DECLARE_METATYPE(ZeltoOutOfRange)
Q_DECLARE_METATYPE(ZeltoUnused)
