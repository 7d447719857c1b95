#include "zeltostream.h"

#include "zeltobytesink.h"
#include "zeltochecksum.h"
#include "zeltostreamformat.h"
#include "zeltostreamreader.h"
#include "zeltostreamwriter.h"

#include <atomic>

using ZeltoStreamFormat::MaxBytes;

namespace {

std::atomic<int> &chosenWriteVersion()
{
    static std::atomic<int> version(ZeltoStream::FormatVersion);
    return version;
}

} // namespace

quint8 ZeltoStream::writeVersion()
{
    return quint8(chosenWriteVersion().load());
}

bool ZeltoStream::setWriteVersion(int version)
{
    if (version < 1 || version > FormatVersion)
        return false;
    chosenWriteVersion().store(version);
    return true;
}

ZeltoStream::ZeltoStream(QByteArray *bytes, QIODevice::OpenMode mode)
{
    const bool reading = mode.testFlag(QIODevice::ReadOnly);
    const bool writing = mode.testFlag(QIODevice::WriteOnly);
    if (bytes && writing && !reading) {
        m_mode = Mode::Write;
        m_target = bytes;
        if (mode.testFlag(QIODevice::Truncate))
            bytes->clear();
    } else if (bytes && reading && !writing) {
        m_mode = Mode::Read;
        m_source = *bytes;
    } else {
        setStatus(writing ? WriteFailed : ReadCorruptData,
                  QStringLiteral("поток открыт без данных или в неподдерживаемом режиме"));
    }
}

ZeltoStream::ZeltoStream(const QByteArray &bytes)
    : m_mode(Mode::Read), m_source(bytes)
{
}

void ZeltoStream::setStatus(Status status, const QString &error)
{
    m_status = status;
    m_error = error;
}

bool ZeltoStream::init()
{
    if (m_status != Ok)
        return false;
    if (m_initialized)
        return true;
    if (m_mode == Mode::Write) {
        if (m_target->size() >= MaxBytes) {
            setStatus(WriteFailed, QStringLiteral("объём данных превышает допустимый размер"));
            return false;
        }
        m_version = writeVersion();
        m_target->append(char(m_version));
    } else if (m_mode == Mode::Read) {
        if (m_position >= m_source.size()) {
            setStatus(ReadPastEnd, QStringLiteral("неожиданный конец данных: нет версии формата"));
            return false;
        }
        const uchar version = uchar(m_source.at(m_position++));
        m_version = version;
        if (version < 1 || version > FormatVersion) {
            m_position = m_source.size();
            setStatus(ReadCorruptData, QStringLiteral("данные повреждены: неподдерживаемая версия формата %1").arg(version));
            return false;
        }
    } else {
        return false;
    }
    m_initialized = true;
    return true;
}

bool ZeltoStream::ensureInitialized()
{
    return m_status == Ok && (m_initialized || init());
}

ZeltoStream &ZeltoStream::operator<<(const QVariant &value)
{
    if (m_mode != Mode::Write) {
        if (m_status == Ok)
            setStatus(WriteFailed, QStringLiteral("поток не открыт для записи"));
        return *this;
    }
    if (!ensureInitialized())
        return *this;

    const qint64 start = m_target->size();
    ZeltoByteSink sink(std::move(*m_target));
    const bool framed = m_version >= 2;
    if (framed)
        sink.claim(4);   // the length, filled in below
    ZeltoStreamWriter writer(m_version);
    bool ok = writer.writeValue(sink, value, 0);
    QString error = writer.error();
    if (ok && framed && !sink.overflowed()) {
        const qint64 length = sink.size() - start - 4;
        const quint32 crc = qToLittleEndian(ZeltoChecksum::crc32c(sink.constData() + start + 4, length));
        const quint32 le = qToLittleEndian(quint32(length));
        std::memcpy(sink.data() + start, &le, 4);
        sink.putBytes(reinterpret_cast<const char *>(&crc), 4);
    }
    if (ok && sink.overflowed()) {
        ok = false;
        error = QStringLiteral("объём данных превышает допустимый размер (2 ГБ)");
    }
    // A failed value leaves nothing behind that could be read as one.
    *m_target = sink.take(ok ? sink.size() : start);
    if (!ok)
        setStatus(WriteFailed, error);
    return *this;
}

ZeltoStream &ZeltoStream::operator>>(QVariant &value)
{
    value = QVariant();
    if (m_mode != Mode::Read) {
        if (m_status == Ok)
            setStatus(ReadCorruptData, QStringLiteral("поток не открыт для чтения"));
        return *this;
    }
    if (!ensureInitialized())
        return *this;

    const uchar *base = reinterpret_cast<const uchar *>(m_source.constData());
    ZeltoStreamReader::Cursor cursor = { base + m_position, base + m_source.size(), false };
    const uchar *next = nullptr;
    if (m_version >= 2 && !checkFrame(cursor.p, cursor.end, next))
        return *this;
    ZeltoStreamReader reader(base, m_version);
    QVariant result;
    if (!reader.readValue(cursor, 0, result)) {
        // Nothing after a broken value can be trusted; consume it all.
        m_position = m_source.size();
        setStatus(reader.status(), reader.error());
    } else if (next && cursor.p != cursor.end) {
        m_position = m_source.size();
        setStatus(ReadCorruptData, QStringLiteral("данные повреждены: лишние байты в значении (позиция %1)")
                                       .arg(cursor.p - base));
    } else {
        m_position = int((next ? next : cursor.p) - base);
        value = std::move(result);
    }
    return *this;
}

// Version 2: narrows [begin, end) to the value's bytes once their checksum
// holds; next is where the following value starts.
bool ZeltoStream::checkFrame(const uchar *&begin, const uchar *&end, const uchar *&next)
{
    const qint64 position = m_position;
    m_position = m_source.size();
    const qint64 left = end - begin;
    quint32 length = 0, crc = 0;
    if (left >= 4) {
        std::memcpy(&length, begin, 4);
        length = qFromLittleEndian(length);
    }
    if (left < 8 || quint64(length) > quint64(left - 8)) {
        setStatus(ReadPastEnd, QStringLiteral("неожиданный конец данных: значение длиной %1 байт в позиции %2 обрезано")
                                   .arg(length).arg(position));
        return false;
    }
    const uchar *data = begin + 4;
    std::memcpy(&crc, data + length, 4);
    if (qFromLittleEndian(crc) != ZeltoChecksum::crc32c(reinterpret_cast<const char *>(data), length)) {
        setStatus(ReadCorruptData, QStringLiteral("данные повреждены: контрольная сумма значения в позиции %1 не совпадает")
                                       .arg(position));
        return false;
    }
    begin = data;
    end = data + length;
    next = end + 4;
    return true;
}

bool ZeltoStream::atEnd() const
{
    return m_mode != Mode::Read || m_position >= m_source.size();
}
