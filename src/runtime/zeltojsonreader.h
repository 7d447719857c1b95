#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <string>

// Reads JSON text of the RPC wire format into a QVariant, straight from the
// byte buffer. Integers become int, qlonglong or qulonglong, whichever is the
// narrowest that holds them (wider ones become double); numbers with a fraction
// or an exponent become double. Objects with a single "$" key are the tagged
// values the writer produces ($datetime, $date, $time, $bytes, $table,
// $tables, $marker), and $stream (a table in ZeltoStream bytes) where the
// reader is told to take it.
//
// Two kinds of failure: SyntaxError for text that is not JSON (the RPC server
// answers it with a parse error) and InvalidValue for JSON that breaks the tag
// rules (an invalid request). When text has both, SyntaxError wins.
//
// One reader may be reused; it is not thread-safe, use one per thread.
class ZeltoJsonReader
{
public:
    enum Status { Ok, SyntaxError, InvalidValue };

    ZeltoJsonReader();

    // The whole text must be one value, with optional whitespace around it.
    // On failure out is an invalid QVariant.
    bool read(const char *data, qsizetype size, QVariant &out);
    bool read(const QByteArray &text, QVariant &out);

    Status status() const { return m_status; }
    // For people, in Russian, with the byte offset of the problem.
    QString errorString() const { return m_error; }
    // Byte offset of the problem in the text, -1 when there is none.
    qsizetype errorOffset() const { return m_errorOffset; }

    // The exact text of one member of the top-level object, as it came
    // (the RPC request id is echoed back so). Name it before read(); after
    // read() capturedText() is empty when the member was absent.
    void setCapturedKey(const QString &key) { m_capturedKey = key; }
    QByteArray capturedText() const { return m_captured; }

    // Whether {"$stream":...} is a table (a client that asked for tables in
    // that form) or an unknown tag (the default). A stream that does not
    // hold exactly one table is an InvalidValue.
    void setStreamTables(bool on) { m_streamTables = on; }

    // Deeper nesting of arrays and objects is a SyntaxError: it would
    // otherwise exhaust the stack.
    static constexpr int MaxDepth = 512;

private:
    enum Tag { TagUnknown, TagDateTime, TagDate, TagTime, TagBytes, TagTable, TagTables, TagMarker, TagStream };

    // A decoded string: points into the text when it had no escapes, into
    // m_scratch otherwise (valid until the next string is scanned).
    struct Span
    {
        const char *data;
        qsizetype size;
    };

    bool parseValue(QVariant &out, int depth);
    bool parseArray(QVariant &out, int depth);
    bool parseObject(QVariant &out, int depth);
    bool parseMembers(QVariantMap &map, int depth);
    bool parseMemberValue(const QString &name, QVariant &value, int depth);
    bool parseTagged(Tag tag, const Span &name, qsizetype offset, QVariant &out, int depth);
    bool parseTable(QVariant &out, int depth, qsizetype offset);
    bool parseColumns(QStringList &columns, int depth);
    bool parseRows(QVector<QVector<QVariant>> &rows, int columnCount, int depth);
    bool parseTables(QVariant &out, int depth);
    bool skipInvalid(QVariant &out, int depth, qsizetype offset, const QString &text);
    void convertText(Tag tag, const Span &text, qsizetype offset, QVariant &out);
    bool parseNumber(QVariant &out);
    bool parseLiteral(const char *word, int size, QVariant &out, const QVariant &value);
    bool scanString(Span &out);
    bool expectColon();
    bool enter(int depth);

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }
    qsizetype offset(const char *p) const { return p - m_begin; }
    bool syntaxError(const char *at, const QString &text);
    bool unexpected(const char *at);
    void invalidValue(qsizetype offset, const QString &text);

    const char *m_begin = nullptr;
    const char *m_p = nullptr;
    const char *m_end = nullptr;
    std::string m_scratch;
    QString m_capturedKey;
    QByteArray m_captured;
    bool m_streamTables = false;
    Status m_status = Ok;
    QString m_error;
    qsizetype m_errorOffset = -1;
    int m_tableType;
};
