#pragma once

#include "zeltobytesink.h"
#include "zeltolocaltime.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

class ZeltoTable;

// Writes variants in the ZeltoStream byte format (see zeltostream.h).
// Tables are written column by column: one pass over the rows learns each
// column's shared type and presence bitmap, a second buffers the cells whose
// size depends on the value (and gathers the doubles that version 2 packs),
// and fixed-size cells go straight to their place in the output. One writer
// serves one value.
class ZeltoStreamWriter
{
public:
    // Writes the given version of the format (1 or 2).
    explicit ZeltoStreamWriter(int version);

    // False when the value, or a value inside it, cannot be written; error()
    // says why. What was written of it then is garbage for the caller to drop.
    bool writeValue(ZeltoByteSink &out, const QVariant &v, int depth = 0);
    QString error() const { return m_error; }

private:
    // Writes the new end of a stored table with the writer's own rules.
    friend class ZeltoTableSplice;

    // What the writer learns about one table column before writing it.
    struct ColumnPlan
    {
        int tag = -1;     // shared tag of the present cells, -1 before the first
        int type = QMetaType::UnknownType;
        uchar timeKind = 0;   // QDateTime columns
        bool simple = false;  // the type alone decides that a cell fits...
        bool keepsNull = false;   // ... as long as it is not a typed null
        bool mixed = false;
        int present = 0;
        qint64 previous = 0;  // delta base while writing
    };

    // Size of every cell of a typed column, or -1 when it depends on the value.
    int cellSize(int tag) const;
    bool writeScalarBody(ZeltoByteSink &out, int tag, const QVariant &v);
    bool writeDateTime(ZeltoByteSink &out, const QDateTime &dt);
    bool writeTable(ZeltoByteSink &out, const ZeltoTable &table, int depth);
    bool planCell(ColumnPlan &plan, const QVariant &v, int type);
    bool writeTypedCell(ZeltoByteSink &out, ColumnPlan &plan, const QVariant &v);
    bool fail(const QString &text);
    bool tooDeep();
    bool dateOutOfRange();

    const int m_version;
    QString m_error;
    qint64 m_rowsWithoutColumns = 0;
    ZeltoLocalTime m_localTime;
};
