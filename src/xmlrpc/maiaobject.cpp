#include "maiaobject.h"

#include "xmltext.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

bool g_lowerCaseDateTime = false;

const QString kValue = QStringLiteral("value");
const QString kDateTimeFormat = QStringLiteral("yyyyMMddThh:mm:ss");

// Values nest no deeper than this: a call of a million nested arrays must
// not exhaust the stack.
const int kMaxDepth = 64;

void debug(const QString &text)
{
    ZeltoSystem::instance()->log(ZeltoSystem::LogDebug, text);
}

// Reads the call's values from a stream positioned on their elements.
class CallReader
{
public:
    explicit CallReader(QXmlStreamReader &xml) : m_xml(xml) {}

    bool tooDeep() const { return m_tooDeep; }

    // The value element just started; the stream ends on its end element.
    QVariant readValue(int depth)
    {
        if (depth > kMaxDepth) {
            m_tooDeep = true;
            m_xml.skipCurrentElement();
            return QVariant();
        }
        QString text;
        QVariant result;
        bool typed = false;
        while (!m_xml.atEnd()) {
            const QXmlStreamReader::TokenType token = m_xml.readNext();
            if (token == QXmlStreamReader::Characters) {
                text += m_xml.text();
            } else if (token == QXmlStreamReader::StartElement) {
                if (typed) {
                    m_xml.skipCurrentElement();
                } else {
                    typed = true;
                    result = readTyped(depth);
                }
            } else if (token == QXmlStreamReader::EndElement) {
                break;
            }
        }
        return typed ? result : QVariant(text);
    }

    // A child that should be a value element: anything else reads as invalid.
    QVariant readMaybeValue(int depth)
    {
        if (m_xml.name() == kValue)
            return readValue(depth);
        m_xml.skipCurrentElement();
        return QVariant();
    }

private:
    QString text()
    {
        return m_xml.readElementText(QXmlStreamReader::IncludeChildElements);
    }

    QVariant readTyped(int depth)
    {
        const QString type = m_xml.name().toString().toLower();
        if (type == QLatin1String("string"))
            return text();
        if (type == QLatin1String("i4") || type == QLatin1String("int")) {
            bool ok = false;
            const int number = text().trimmed().toInt(&ok);
            return ok ? QVariant(number) : QVariant();
        }
        if (type == QLatin1String("double")) {
            bool ok = false;
            const double number = text().trimmed().toDouble(&ok);
            return ok ? QVariant(number) : QVariant();
        }
        if (type == QLatin1String("boolean")) {
            const QString value = text().trimmed();
            return value == QLatin1String("1") || value == QLatin1String("true");
        }
        if (type == QLatin1String("base64"))
            return QByteArray::fromBase64(text().trimmed().toLatin1());
        if (type == QLatin1String("datetime") || type == QLatin1String("datetime.iso8601")) {
            const QString value = text().trimmed();
            QDateTime dateTime = QDateTime::fromString(value, kDateTimeFormat);
            if (!dateTime.isValid())
                dateTime = QDateTime::fromString(value, Qt::ISODate);
            return dateTime.isValid() ? QVariant(dateTime) : QVariant();
        }
        if (type == QLatin1String("nil")) {
            m_xml.skipCurrentElement();
            return QVariant();
        }
        if (type == QLatin1String("array"))
            return readArray(depth);
        if (type == QLatin1String("struct"))
            return readStruct(depth);
        debug(QStringLiteral("Cannot demarshal unknown type ") + type.left(40));
        m_xml.skipCurrentElement();
        return QVariant();
    }

    // <array><data> value* </data></array>
    QVariant readArray(int depth)
    {
        QVariantList list;
        bool seenData = false;
        while (m_xml.readNextStartElement()) {
            if (seenData || m_xml.name() != QLatin1String("data")) {
                m_xml.skipCurrentElement();
                continue;
            }
            seenData = true;
            while (m_xml.readNextStartElement())
                list.append(readMaybeValue(depth + 1));
        }
        return list;
    }

    // <struct> (<member><name>key</name> value</member>)* </struct>
    QVariant readStruct(int depth)
    {
        QVariantMap map;
        while (m_xml.readNextStartElement()) {
            if (m_xml.name() != QLatin1String("member")) {
                m_xml.skipCurrentElement();
                continue;
            }
            QString name;
            QVariant value;
            while (m_xml.readNextStartElement()) {
                if (m_xml.name() == QLatin1String("name"))
                    name = text();
                else
                    value = readMaybeValue(depth + 1);
            }
            map.insert(name, value);
        }
        return map;
    }

    QXmlStreamReader &m_xml;
    bool m_tooDeep = false;
};

} // namespace

void MaiaObject::setLowerCaseDateTime(bool lowerCase)
{
    g_lowerCaseDateTime = lowerCase;
}

void MaiaObject::writeValue(QXmlStreamWriter &xml, const QVariant &value)
{
    xml.writeStartElement(kValue);
    // A null of any type (the database gives an empty column as a null
    // int) is no value, not 0.
    if (value.isNull() && value.userType() < QMetaType::User && value.userType() != QMetaType::QVariantMap
        && value.userType() != QMetaType::QVariantList) {
        xml.writeEndElement();
        return;
    }
    switch (value.userType()) {
    case QMetaType::Bool:
        xml.writeTextElement(QStringLiteral("boolean"), value.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        break;
    case QMetaType::Int:
        xml.writeTextElement(QStringLiteral("int"), QString::number(value.toInt()));
        break;
    case QMetaType::Double:
        xml.writeTextElement(QStringLiteral("double"), QString::number(value.toDouble(), 'g', 6));
        break;
    case QMetaType::QVariantMap: {
        xml.writeStartElement(QStringLiteral("struct"));
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            xml.writeStartElement(QStringLiteral("member"));
            xml.writeTextElement(QStringLiteral("name"), XmlText::clean(it.key()));
            writeValue(xml, it.value());
            xml.writeEndElement();
        }
        xml.writeEndElement();
        break;
    }
    case QMetaType::QVariantList: {
        xml.writeStartElement(QStringLiteral("array"));
        xml.writeStartElement(QStringLiteral("data"));
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            writeValue(xml, item);
        xml.writeEndElement();
        xml.writeEndElement();
        break;
    }
    case QMetaType::QString:
        xml.writeTextElement(QStringLiteral("string"), XmlText::clean(value.toString()));
        break;
    case QMetaType::QByteArray:
        xml.writeTextElement(QStringLiteral("base64"), QString::fromLatin1(value.toByteArray().toBase64()));
        break;
    case QMetaType::QDateTime:
        xml.writeTextElement(g_lowerCaseDateTime ? QStringLiteral("datetime.iso8601")
                                                 : QStringLiteral("dateTime.iso8601"),
                             value.toDateTime().toString(kDateTimeFormat));
        break;
    default:
        debug(QStringLiteral("Failed to marshal unknown variant type: ") + QLatin1String(value.typeName()));
        break;
    }
    xml.writeEndElement();
}

QByteArray MaiaObject::document(const QVariant &content, bool isFault)
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("methodResponse"));
    if (isFault) {
        xml.writeStartElement(QStringLiteral("fault"));
        writeValue(xml, content);
        xml.writeEndElement();
    } else {
        xml.writeStartElement(QStringLiteral("params"));
        xml.writeStartElement(QStringLiteral("param"));
        writeValue(xml, content);
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

QByteArray MaiaObject::response(const QVariant &result)
{
    return document(result, false);
}

QByteArray MaiaObject::fault(const MaiaFault &fault)
{
    return document(fault.toMap(), true);
}

bool MaiaObject::readCall(const QByteArray &body, QString &method, QVariantList &params, MaiaFault &fault)
{
    QXmlStreamReader xml(body);
    CallReader reader(xml);
    bool hasMethodName = false;
    bool hasParams = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        // A call has no document type: refusing it keeps entity
        // declarations, and with them entity bombs, out.
        if (token == QXmlStreamReader::DTD) {
            xml.raiseError(QStringLiteral("DTD"));
            break;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        // The document element: its first methodName and params count.
        while (xml.readNextStartElement()) {
            if (!hasMethodName && xml.name() == QLatin1String("methodName")) {
                hasMethodName = true;
                method = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            } else if (!hasParams && xml.name() == QLatin1String("params")) {
                hasParams = true;
                while (xml.readNextStartElement()) {
                    // Each param's first child element is its value.
                    QVariant value;
                    bool first = true;
                    while (xml.readNextStartElement()) {
                        if (first)
                            value = reader.readMaybeValue(1);
                        else
                            xml.skipCurrentElement();
                        first = false;
                    }
                    params.append(value);
                }
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    if (xml.hasError()) {
        fault = MaiaFault(MaiaFault::ParseError, QStringLiteral("parse error: not well formed"));
        return false;
    }
    if (!hasMethodName || reader.tooDeep()) {
        fault = MaiaFault(MaiaFault::InvalidRequest,
                          QStringLiteral("server error: invalid xml-rpc. not conforming to spec"));
        return false;
    }
    return true;
}
