#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

class ZeltoTable;

// Writes a QVariant as JSON text of the RPC wire format. Types JSON lacks
// travel as objects with a single "$" key ($datetime, $date, $time, $bytes,
// $table, $tables, $marker). Doubles always carry a fraction or an exponent so
// that they read back as doubles; NaN and infinities become null. A map key
// that starts with "$" would read back as a tag, so such a map is refused.
// With setTablesAsStream(true) every table is written as {"$stream":base64}
// of its ZeltoStream bytes instead, for clients that asked for that form.
//
// One writer may be reused; it is not thread-safe, use one per thread.
class ZeltoJsonWriter
{
public:
    // indented: newlines and two-space indentation for people; table rows
    // stay on one line each. Compact (the default) writes no whitespace.
    explicit ZeltoJsonWriter(bool indented = false);

    // Appends the text of value to out. On an unsupported type (or a value
    // nested too deep, or text over the QByteArray limit) returns false, leaves
    // out as it was and sets errorString().
    bool write(const QVariant &value, QByteArray &out);
    QString errorString() const { return m_error; }

    // Tables as {"$stream":...} (a ZeltoEncodedTable as its bytes) rather
    // than {"$table":...} (a ZeltoEncodedTable decoded). Off by default.
    void setTablesAsStream(bool on) { m_tablesAsStream = on; }

    static QByteArray toJson(const QVariant &value, bool indented = false, QString *error = nullptr);

    // Deeper nesting of arrays and objects is refused, as in the reader.
    static constexpr int MaxDepth = 512;

private:
    bool writeValue(const QVariant &value, int depth);
    template <typename List, typename WriteItem>
    bool writeArray(const List &list, int depth, WriteItem writeItem);
    bool writeList(const QVariantList &list, int depth);
    bool writeStringList(const QStringList &list, int depth);
    bool writeMap(const QVariantMap &map, int depth);
    bool writeHash(const QVariantHash &hash, int depth);
    bool writeTable(const ZeltoTable &table, int depth, int indent);
    bool writeTables(const QMap<QString, ZeltoTable> &tables, int depth);
    bool writeEncodedTable(const QByteArray &stream, int depth, int indent);
    bool writeDateTimeTag(const QVariant &value);
    bool writeBase64Tag(const char *tag, int tagSize, const QByteArray &bytes);
    bool writeKey(const QString &key, int depth, bool first);
    bool writeString(const QString &text);
    bool writeDouble(double value);
    bool writeShortDecimal(double value);
    bool writeFloat(float value);
    template <typename Floating>
    bool writeFloating(Floating value);
    bool writeSigned(qlonglong value);
    bool writeUnsigned(qulonglong value);
    bool writeRaw(const char *text, int size);
    bool writeChar(char c)
    {
        if (!room(1))
            return false;
        *m_cur++ = c;
        return true;
    }
    bool openTag(const char *tag, int tagSize);
    bool newline(int depth);
    bool fail(const QString &text);
    bool tooDeep();

    // Guarantees size free bytes at m_cur, growing the output geometrically.
    bool room(qsizetype size)
    {
        return m_end - m_cur >= size || grow(size);
    }
    bool grow(qsizetype size);

    bool m_indented;
    // Inside a table row or column list the indented mode writes compactly.
    bool m_inline = false;
    bool m_tablesAsStream = false;
    QString m_error;
    QByteArray *m_out = nullptr;
    char *m_cur = nullptr;
    char *m_end = nullptr;
    int m_tableType;
    int m_tableMapType;
    int m_outOfRangeType;
    int m_unusedType;
    int m_encodedTableType;
};
