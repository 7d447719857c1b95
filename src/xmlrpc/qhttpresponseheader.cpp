#include "qhttpresponseheader.h"

QString QHttpResponseHeader::toString() const
{
    QString text = QStringLiteral("HTTP/1.1 %1 %2\r\n").arg(m_code).arg(m_reason);
    for (auto it = m_lines.constBegin(); it != m_lines.constEnd(); ++it)
        text += it.key() + QStringLiteral(": ") + it.value() + QStringLiteral("\r\n");
    return text + QStringLiteral("\r\n");
}
