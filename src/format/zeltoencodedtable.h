#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

class ZeltoTable;

// A table still in its ZeltoStream bytes: a whole stream (version byte and
// one value, a table), as the database keeps an archive. A command whose
// reply may carry tables in stream form returns one of these to send the
// stored bytes as they are, without decoding and encoding them again; a JSON
// reply decodes it.
struct ZeltoEncodedTable
{
    QByteArray stream;

    // The table the bytes hold. False, with the reason in *error, when they
    // are damaged or hold anything but exactly one table.
    bool decode(ZeltoTable &table, QString *error = nullptr) const;
};

Q_DECLARE_METATYPE(ZeltoEncodedTable)
