#include "qhttprequestheader.h"

QHttpRequestHeader::QHttpRequestHeader(const QString &text) : m_text(text)
{
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    bool first = true;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            break;
        if (first) {
            m_method = line.split(QLatin1Char(' ')).value(0);
            first = false;
            continue;
        }
        const QStringList parts = line.split(QLatin1Char(':'));
        m_lines.insert(parts.value(0), parts.value(1).trimmed());
    }
}

bool QHttpRequestHeader::isValid() const
{
    return !m_text.isEmpty() && (m_method == QLatin1String("GET") || m_method == QLatin1String("POST"))
        && m_lines.size() > 1;
}

QStringList QHttpRequestHeader::values(const QString &name) const
{
    QStringList found;
    for (auto it = m_lines.constBegin(); it != m_lines.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            found.append(it.value());
    }
    return found;
}
