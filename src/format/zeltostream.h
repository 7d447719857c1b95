#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVariant>

// A self-describing binary stream of variants, the form in which values that
// are not plain numbers or text are kept in database BLOBs. The byte format is
// described at the top of zeltostream.cpp; it is stored data and must stay
// readable, so it only ever grows by new tags or a new version, and the
// reader keeps reading every version.
//
// Writing: open write-only on a byte array (the stream appends to it), init()
// (writes the version byte of writeVersion()), then << one or more variants.
// A variant of a type the format does not know sets WriteFailed and leaves
// the array as it was before that variant.
//
// Reading: open read-only on the bytes, init() (checks the version byte:
// every version ever written is read), then >> as many variants as were
// written. Reading never trusts the bytes: every
// count and length is checked against what is left before anything is
// allocated, nesting is bounded, and any failure gives an invalid variant,
// a status and a Russian errorString(). A failed read consumes the rest of
// the input, so a loop over atEnd() always terminates.
//
// Once the status is not Ok, further reads and writes do nothing until
// resetStatus(). init() is implied by the first << or >> when not called.
//
// Round trips keep the variant type and value, and the null state of typed
// nulls such as QVariant(QVariant::Int). A null QString or QByteArray
// reads back null and an empty one empty. QDateTime keeps its kind of time (local
// time, UTC, offset, time zone) and its instant to the millisecond; an invalid
// QDateTime reads back as a null one. A table reads back with the same columns
// and cells; trailing missing cells of a row come back as missing (rows are
// stored no longer than their last non-null cell).
class ZeltoStream
{
public:
    enum Status { Ok, ReadPastEnd, ReadCorruptData, WriteFailed };

    // WriteOnly appends to *bytes (WriteOnly | Truncate clears it first);
    // ReadOnly reads a copy of *bytes. Any other mode, or a null array, gives
    // a stream that refuses every operation.
    ZeltoStream(QByteArray *bytes, QIODevice::OpenMode mode);
    explicit ZeltoStream(const QByteArray &bytes);

    ZeltoStream(const ZeltoStream &) = delete;
    ZeltoStream &operator=(const ZeltoStream &) = delete;

    // Write mode: writes the format version byte. Read mode: reads and checks
    // it. Does nothing when already done. Returns status() == Ok.
    bool init();

    ZeltoStream &operator<<(const QVariant &value);
    ZeltoStream &operator>>(QVariant &value);

    Status status() const { return m_status; }
    QString errorString() const { return m_error; }
    bool atEnd() const;
    void resetStatus();

    // The newest version of the format, which the reader reads along with
    // every older one.
    static const quint8 FormatVersion = 2;
    // The version that new streams write: FormatVersion, unless
    // ORVEX_STREAM_VERSION or setWriteVersion() asks for an older one (data
    // that an older server can read, as before a downgrade).
    static quint8 writeVersion();
    // False, changing nothing, for a version the format does not have.
    static bool setWriteVersion(int version);
    // Read mode: the version of the bytes, known after init().
    quint8 version() const { return m_version; }

private:
    enum class Mode { Invalid, Read, Write };

    void setStatus(Status status, const QString &error);
    bool checkFrame(const uchar *&begin, const uchar *&end, const uchar *&next);
    bool ensureInitialized();

    Mode m_mode = Mode::Invalid;
    QByteArray *m_target = nullptr;   // write mode
    QByteArray m_source;              // read mode
    int m_position = 0;
    bool m_initialized = false;
    quint8 m_version = 0;
    Status m_status = Ok;
    QString m_error;
};
