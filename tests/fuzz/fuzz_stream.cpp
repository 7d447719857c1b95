// The variant stream of the stored values. The bytes are read as a stream as
// they are, and once more with all but the first byte framed as one value of
// version 2 with the right checksum, so that mutations reach the value reader
// behind the checksum too. Every value read is written in both versions, and
// what is written must read back to a value that is written the same again.
#include "fuzzing.h"
#include "zeltochecksum.h"
#include "zeltostream.h"

#include <QtEndian>

namespace {

QByteArray written(const QVariant &value, int version)
{
    ZeltoStream::setWriteVersion(version);
    QByteArray bytes;
    ZeltoStream stream(&bytes, QIODevice::WriteOnly);
    stream << value;
    return stream.status() == ZeltoStream::Ok ? bytes : QByteArray();
}

void checkWritten(const QVariant &value)
{
    for (int version = 1; version <= ZeltoStream::FormatVersion; ++version) {
        const QByteArray once = written(value, version);
        if (once.isEmpty())
            continue;
        ZeltoStream stream(once);
        QVariant back;
        stream >> back;
        Fuzzing::expect(stream.status() == ZeltoStream::Ok && stream.atEnd(), "a written value reads back");
        Fuzzing::expectSame(once, written(back, version), "a value read back is written the same");
    }
}

void readAll(const QByteArray &bytes)
{
    ZeltoStream stream(bytes);
    while (!stream.atEnd()) {
        QVariant value;
        stream >> value;
        if (stream.status() != ZeltoStream::Ok)
            return;
        checkWritten(value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzzing::bytes(data, size);
    readAll(input);

    const QByteArray body = input.mid(1);
    QByteArray framed(9, '\0');
    framed[0] = char(2);
    qToLittleEndian(quint32(body.size()), framed.data() + 1);
    qToLittleEndian(ZeltoChecksum::crc32c(body.constData(), body.size()), framed.data() + 5);
    framed.insert(5, body);
    readAll(framed);
    return 0;
}
