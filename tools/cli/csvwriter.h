#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

// Comma-separated values as RFC 4180 has them and spreadsheets import them:
// one record per line ending in CR LF, fields separated by the chosen
// character, a field quoted (with its quotes doubled) when it holds the
// separator, a quote, a line break or leading or trailing blanks.
class CsvWriter
{
public:
    explicit CsvWriter(QChar separator) : m_separator(separator) {}

    void addRecord(const QStringList &fields);
    QString text() const { return m_text; }

    QString field(const QString &value) const;

private:
    QChar m_separator;
    QString m_text;
};
