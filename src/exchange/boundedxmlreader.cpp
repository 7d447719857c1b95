#include "boundedxmlreader.h"

BoundedXmlReader::BoundedXmlReader(const QByteArray &bytes, int maxDepth) : m_xml(bytes), m_maxDepth(maxDepth)
{
}

BoundedXmlReader::BoundedXmlReader(const QString &text, int maxDepth) : m_xml(text), m_maxDepth(maxDepth)
{
}

void BoundedXmlReader::refuse(const QString &why)
{
    m_refused = true;
    m_xml.raiseError(why);
}

QXmlStreamReader::TokenType BoundedXmlReader::readNext()
{
    const QXmlStreamReader::TokenType token = m_xml.readNext();
    if (token == QXmlStreamReader::StartElement) {
        if (++m_depth > m_maxDepth) {
            refuse(QStringLiteral("elements nested too deep"));
            return QXmlStreamReader::Invalid;
        }
    } else if (token == QXmlStreamReader::EndElement) {
        --m_depth;
    }
    return token;
}

bool BoundedXmlReader::readNextStartElement()
{
    for (;;) {
        switch (readNext()) {
        case QXmlStreamReader::StartElement:
            return true;
        case QXmlStreamReader::EndElement:
        case QXmlStreamReader::Invalid:
        case QXmlStreamReader::EndDocument:
            return false;
        default:
            break;
        }
    }
}

void BoundedXmlReader::skipCurrentElement()
{
    const int depth = m_depth;
    while (m_depth >= depth) {
        const QXmlStreamReader::TokenType token = readNext();
        if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument)
            return;
    }
}

bool BoundedXmlReader::readText(QString &text)
{
    text.clear();
    for (;;) {
        switch (readNext()) {
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::EntityReference:
            text += m_xml.text();
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            break;
        case QXmlStreamReader::EndElement:
            return true;
        case QXmlStreamReader::StartElement:
            refuse(QStringLiteral("an element inside text"));
            return false;
        default:
            // Invalid (the error is set) or an end of input the parser let pass.
            if (!m_xml.hasError())
                m_xml.raiseError(QStringLiteral("text not closed"));
            return false;
        }
    }
}
