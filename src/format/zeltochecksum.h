#pragma once

#include <QtGlobal>

// CRC-32C (Castagnoli), the checksum of each value in version 2 of the
// ZeltoStream format: it turns a flipped bit anywhere in a stored value into
// a refusal instead of a wrong number. Uses the processor's CRC32
// instruction where there is one.
namespace ZeltoChecksum {

quint32 crc32c(const char *data, qint64 size);
// The sum of bytes A then data, from the sum of A (0 for no bytes):
// crc32c(A + B) == extend(crc32c(A), B).
quint32 extend(quint32 sum, const char *data, qint64 size);
// The same sum from tables, as machines without the instruction compute it.
quint32 crc32cByTable(const char *data, qint64 size);

} // namespace ZeltoChecksum
