#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The header of one HTTP request as the XML-RPC listener reads it:
//   request-line CRLF *(name ":" value CRLF) CRLF
// The method is the first word of the request line; path and version are
// not kept. Each header line is split at its colons: the name is what
// precedes the first one, the value the next part, trimmed (so a value
// holding a colon keeps only what precedes it). Names are kept as sent and
// matched without regard to case, as HTTP requires: clients such as
// Node.js's fetch send them in lower case.
class QHttpRequestHeader
{
public:
    QHttpRequestHeader() = default;
    explicit QHttpRequestHeader(const QString &text);

    // Text not empty, method GET or POST (exact case) and more than one
    // header line.
    bool isValid() const;
    QString method() const { return m_method; }
    int lineCount() const { return m_lines.size(); }

    // The values of every line whose name matches, in name order.
    QStringList values(const QString &name) const;
    QString value(const QString &name) const { return values(name).value(0); }

private:
    QString m_text;
    QString m_method;
    QMap<QString, QString> m_lines;
};
