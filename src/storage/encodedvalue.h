#pragma once

#include <QByteArray>
#include <QMetaType>

// Bytes that already are the stored form of a value (what
// Database::encodeValue makes of it), bound as they are: for a writer that
// changed a stored value in its encoded form.
struct EncodedValue
{
    QByteArray bytes;
};

Q_DECLARE_METATYPE(EncodedValue)
