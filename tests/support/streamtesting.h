#pragma once

#include "zeltochecksum.h"
#include "zeltostream.h"

#include <QtEndian>

// Stream bytes of one value in the given version (0: the one written by
// default); on failure the bytes hold the version byte only.
inline QByteArray encodeStream(const QVariant &value, ZeltoStream::Status *status = nullptr, int version = 0,
                               QString *error = nullptr)
{
    const int chosen = ZeltoStream::writeVersion();
    ZeltoStream::setWriteVersion(version);   // 0 is refused: the chosen version stays
    QByteArray bytes;
    ZeltoStream stream(&bytes, QIODevice::WriteOnly);
    stream.init();
    stream << value;
    ZeltoStream::setWriteVersion(chosen);
    if (status)
        *status = stream.status();
    if (error)
        *error = stream.errorString();
    return bytes;
}

// The first value of stream bytes; invalid on failure.
inline QVariant decodeStream(const QByteArray &bytes, ZeltoStream::Status *status = nullptr, QString *error = nullptr)
{
    ZeltoStream stream(bytes);
    QVariant value;
    if (stream.init())
        stream >> value;
    if (status)
        *status = stream.status();
    if (error)
        *error = stream.errorString();
    return value;
}

// v as four bytes, low byte first.
inline QByteArray le32(quint32 v) { v = qToLittleEndian(v); return QByteArray(reinterpret_cast<const char *>(&v), 4); }

// A version-2 stream of one value whose bytes are given: framed by length
// and checksum, so that a reader meets whatever the bytes hold.
inline QByteArray version2Stream(const QByteArray &value)
{
    return QByteArray(1, char(2)) + le32(quint32(value.size())) + value
           + le32(ZeltoChecksum::crc32c(value.constData(), value.size()));
}
