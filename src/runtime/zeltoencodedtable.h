#pragma once

#include <QByteArray>
#include <QMetaType>

// A table still in its ZeltoStream bytes: a whole stream (version byte and
// one value, a table), as the database keeps an archive. A command whose
// reply may carry tables in stream form returns one of these to send the
// stored bytes as they are, without decoding and encoding them again; a JSON
// reply decodes it.
struct ZeltoEncodedTable
{
    QByteArray stream;
};

Q_DECLARE_METATYPE(ZeltoEncodedTable)
