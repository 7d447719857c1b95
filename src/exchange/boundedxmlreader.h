#pragma once

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>

// A QXmlStreamReader for documents from outside, which bounds how deep
// elements nest and reads text without recursion: QXmlStreamReader's own
// readElementText(IncludeChildElements) calls itself once per nested
// element, so a request of a hundred thousand nested elements would
// exhaust the stack. Every token must be read through this class (readNext
// and the helpers below) for the depth to stay right; names, attributes
// and errors are read from xml().
//
// An element deeper than the bound, or an element inside an element read as
// text, stops the document: the stream then has an error, and refused()
// tells these from XML that is not well-formed.
class BoundedXmlReader
{
public:
    BoundedXmlReader(const QByteArray &bytes, int maxDepth);
    BoundedXmlReader(const QString &text, int maxDepth);

    QXmlStreamReader &xml() { return m_xml; }
    const QXmlStreamReader &xml() const { return m_xml; }

    // As QXmlStreamReader's, with the depth counted.
    QXmlStreamReader::TokenType readNext();
    bool readNextStartElement();
    void skipCurrentElement();

    // The character data of the element just started, read up to its end
    // element; comments and processing instructions in it are left out.
    // False when the element holds an element or the document breaks off.
    bool readText(QString &text);

    // Elements open around the current token, the current one included.
    int depth() const { return m_depth; }
    // Whether the document was stopped for nesting too deep or for an
    // element inside text.
    bool refused() const { return m_refused; }

private:
    void refuse(const QString &why);

    QXmlStreamReader m_xml;
    const int m_maxDepth;
    int m_depth = 0;
    bool m_refused = false;
};
