#include "csvwriter.h"

QString CsvWriter::field(const QString &value) const
{
    const bool quoted = value.contains(m_separator) || value.contains(QLatin1Char('"'))
        || value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))
        || (!value.isEmpty() && (value.at(0).isSpace() || value.at(value.size() - 1).isSpace()));
    if (!quoted)
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

void CsvWriter::addRecord(const QStringList &fields)
{
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            m_text += m_separator;
        m_text += field(fields.at(i));
    }
    m_text += QLatin1String("\r\n");
}
