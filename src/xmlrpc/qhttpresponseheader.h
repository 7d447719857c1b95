#pragma once

#include <QMap>
#include <QString>

// The header of an HTTP/1.1 response:
//   "HTTP/1.1 " code " " reason CRLF *(name ": " value CRLF) CRLF
// with the lines in the order of their names.
class QHttpResponseHeader
{
public:
    QHttpResponseHeader(int code, const QString &reason) : m_code(code), m_reason(reason) {}

    void setValue(const QString &name, const QString &value) { m_lines.insert(name, value); }
    QString toString() const;

private:
    int m_code;
    QString m_reason;
    QMap<QString, QString> m_lines;
};
