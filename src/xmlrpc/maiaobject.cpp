#include "maiaobject.h"

#include "boundedxmlreader.h"
#include "xmltext.h"
#include "zeltosystem.h"
#include "zeltoutf8.h"

#include <QDateTime>
#include <QVector>

namespace {

bool g_lowerCaseDateTime = false;

const QString kValue = QStringLiteral("value");
const QString kDateTimeFormat = QStringLiteral("yyyyMMddThh:mm:ss");

// Elements nest no deeper than this, which lets values nest 64 deep
// (methodCall, params, param, then value, array or struct, data or member
// per level): a call of a million nested elements must not exhaust the
// stack.
const int kMaxDepth = 4 + 3 * 64;

void debug(const QString &text)
{
    ZeltoSystem::instance()->log(ZeltoSystem::LogDebug, text);
}

// A string value's text cut out of a call (see cutLongStrings): where it
// began in the cut document, in UTF-16 units, and the text.
struct LongString
{
    qint64 offset;
    QString text;
};

// Strings shorter than this are left to the parser.
const int kLongString = 16 * 1024;

// Whether the parser reads the document as UTF-8 with no byte order mark:
// it does unless the first bytes say UTF-16 or the declaration names
// another encoding.
bool isUtf8(const QByteArray &body)
{
    if (body.size() < 2 || body.at(0) != '<' || body.at(1) == '\0')
        return false;
    if (!body.startsWith("<?xml"))
        return true;
    const int end = body.indexOf("?>");
    if (end < 0)
        return false;
    const QByteArray declaration = body.left(end).toLower();
    const int at = declaration.indexOf("encoding");
    if (at < 0)
        return true;
    QByteArray rest = declaration.mid(at + 8).trimmed();
    if (!rest.startsWith('='))
        return false;
    rest = rest.mid(1).trimmed();
    if (rest.isEmpty() || (rest.at(0) != '"' && rest.at(0) != '\''))
        return false;
    const int quote = rest.indexOf(rest.at(0), 1);
    return quote > 0 && rest.mid(1, quote - 1) == "utf-8";
}

// Reads the call's values from a stream positioned on their elements.
class CallReader
{
public:
    CallReader(BoundedXmlReader &reader, QVector<LongString> *longStrings)
        : m_reader(reader), m_xml(reader.xml()), m_longStrings(longStrings)
    {
    }

    bool allLongStringsRead() const { return m_longStringsRead == m_longStrings->size(); }

    // The value element just started; the stream ends on its end element.
    QVariant readValue()
    {
        QString text;
        QVariant result;
        bool typed = false;
        while (!m_xml.atEnd()) {
            const QXmlStreamReader::TokenType token = m_reader.readNext();
            if (token == QXmlStreamReader::Characters) {
                text += m_xml.text();
            } else if (token == QXmlStreamReader::StartElement) {
                if (typed) {
                    m_reader.skipCurrentElement();
                } else {
                    typed = true;
                    result = readTyped();
                }
            } else if (token == QXmlStreamReader::EndElement) {
                break;
            }
        }
        return typed ? result : QVariant(text);
    }

    // A child that should be a value element: anything else reads as invalid.
    QVariant readMaybeValue()
    {
        if (m_xml.name() == kValue)
            return readValue();
        m_reader.skipCurrentElement();
        return QVariant();
    }

private:
    // The text of a scalar; a call that puts an element into one is refused.
    QString text()
    {
        QString text;
        m_reader.readText(text);
        return text;
    }

    QVariant readTyped()
    {
        const QString type = m_xml.name().toString().toLower();
        if (type == QLatin1String("string")) {
            if (m_longStrings && m_longStringsRead < m_longStrings->size()
                && m_xml.characterOffset() == m_longStrings->at(m_longStringsRead).offset) {
                // Where a text was cut the element is empty; were it not,
                // the cut stays unread and the call is read whole.
                const QString rest = text();
                if (rest.isEmpty())
                    return std::move((*m_longStrings)[m_longStringsRead++].text);
                return rest;
            }
            return text();
        }
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
            m_reader.skipCurrentElement();
            return QVariant();
        }
        if (type == QLatin1String("array"))
            return readArray();
        if (type == QLatin1String("struct"))
            return readStruct();
        debug(QStringLiteral("Cannot demarshal unknown type ") + type.left(40));
        m_reader.skipCurrentElement();
        return QVariant();
    }

    // <array><data> value* </data></array>
    QVariant readArray()
    {
        QVariantList list;
        bool seenData = false;
        while (m_reader.readNextStartElement()) {
            if (seenData || m_xml.name() != QLatin1String("data")) {
                m_reader.skipCurrentElement();
                continue;
            }
            seenData = true;
            while (m_reader.readNextStartElement())
                list.append(readMaybeValue());
        }
        return list;
    }

    // <struct> (<member><name>key</name> value</member>)* </struct>
    QVariant readStruct()
    {
        QVariantMap map;
        while (m_reader.readNextStartElement()) {
            if (m_xml.name() != QLatin1String("member")) {
                m_reader.skipCurrentElement();
                continue;
            }
            QString name;
            QVariant value;
            while (m_reader.readNextStartElement()) {
                if (m_xml.name() == QLatin1String("name"))
                    name = text();
                else
                    value = readMaybeValue();
            }
            map.insert(name, value);
        }
        return map;
    }

    BoundedXmlReader &m_reader;
    const QXmlStreamReader &m_xml;
    QVector<LongString> *m_longStrings;
    int m_longStringsRead = 0;
};

} // namespace

void MaiaObject::setLowerCaseDateTime(bool lowerCase)
{
    g_lowerCaseDateTime = lowerCase;
}

namespace {

// Writes a response document straight into UTF-8 bytes, laid out as
// QXmlStreamWriter's auto-formatting with an indent of one blank lays it
// out: an element on a line of its own, a scalar on one line with its text,
// an element without content closed as "<name/>". A reply may carry a
// package of tens of megabytes as one string; escaping it in one pass with
// no UTF-16 copy of the escaped text keeps exportNodes' cost down.
class ResponseWriter
{
public:
    QByteArray m_bytes;

    void line(int depth)
    {
        m_bytes += '\n';
        m_bytes.append(depth, ' ');
    }

    void open(int depth, const char *name)
    {
        line(depth);
        m_bytes += '<';
        m_bytes += name;
        m_bytes += '>';
    }

    void close(int depth, const char *name)
    {
        line(depth);
        m_bytes += "</";
        m_bytes += name;
        m_bytes += '>';
    }

    void scalar(int depth, const char *type, const QString &text)
    {
        line(depth);
        m_bytes += '<';
        m_bytes += type;
        m_bytes += '>';
        XmlText::appendEscaped(m_bytes, text);
        m_bytes += "</";
        m_bytes += type;
        m_bytes += '>';
    }

    void value(int depth, const QVariant &value)
    {
        line(depth);
        const int type = value.userType();
        // A null of any type (the database gives an empty column as a null
        // int) is no value, not 0.
        if (value.isNull() && type < QMetaType::User && type != QMetaType::QVariantMap
            && type != QMetaType::QVariantList) {
            m_bytes += "<value/>";
            return;
        }
        static const QVector<int> kWritten = {QMetaType::Bool,         QMetaType::Int,     QMetaType::Double,
                                              QMetaType::QVariantMap,  QMetaType::QString, QMetaType::QVariantList,
                                              QMetaType::QByteArray,   QMetaType::QDateTime};
        if (!kWritten.contains(type)) {
            debug(QStringLiteral("Failed to marshal unknown variant type: ") + QLatin1String(value.typeName()));
            m_bytes += "<value/>";
            return;
        }
        m_bytes += "<value>";
        const int inner = depth + 1;
        switch (type) {
        case QMetaType::Bool:
            scalar(inner, "boolean", value.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
            break;
        case QMetaType::Int:
            scalar(inner, "int", QString::number(value.toInt()));
            break;
        case QMetaType::Double:
            scalar(inner, "double", QString::number(value.toDouble(), 'g', 6));
            break;
        case QMetaType::QVariantMap: {
            const QVariantMap map = value.toMap();
            if (map.isEmpty()) {
                line(inner);
                m_bytes += "<struct/>";
                break;
            }
            open(inner, "struct");
            for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
                open(inner + 1, "member");
                scalar(inner + 2, "name", it.key());
                this->value(inner + 2, it.value());
                close(inner + 1, "member");
            }
            close(inner, "struct");
            break;
        }
        case QMetaType::QVariantList: {
            open(inner, "array");
            const QVariantList list = value.toList();
            if (list.isEmpty()) {
                line(inner + 1);
                m_bytes += "<data/>";
            } else {
                open(inner + 1, "data");
                for (const QVariant &item : list)
                    this->value(inner + 2, item);
                close(inner + 1, "data");
            }
            close(inner, "array");
            break;
        }
        case QMetaType::QString:
            scalar(inner, "string", value.toString());
            break;
        case QMetaType::QByteArray:
            scalar(inner, "base64", QString::fromLatin1(value.toByteArray().toBase64()));
            break;
        default:
            scalar(inner, g_lowerCaseDateTime ? "datetime.iso8601" : "dateTime.iso8601",
                   value.toDateTime().toString(kDateTimeFormat));
            break;
        }
        close(depth, "value");
    }
};

} // namespace

QByteArray MaiaObject::document(const QVariant &content, bool isFault)
{
    ResponseWriter writer;
    writer.m_bytes = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    writer.open(0, "methodResponse");
    if (isFault) {
        writer.open(1, "fault");
        writer.value(2, content);
        writer.close(1, "fault");
    } else {
        writer.open(1, "params");
        writer.open(2, "param");
        writer.value(3, content);
        writer.close(2, "param");
        writer.close(1, "params");
    }
    writer.close(0, "methodResponse");
    writer.m_bytes += '\n';
    return writer.m_bytes;
}

QByteArray MaiaObject::response(const QVariant &result)
{
    return document(result, false);
}

QByteArray MaiaObject::fault(const MaiaFault &fault)
{
    return document(fault.toMap(), true);
}

namespace {

bool parseCall(const QByteArray &body, QVector<LongString> *longStrings, QString &method, QVariantList &params,
               MaiaFault &fault)
{
    BoundedXmlReader bounded(body, kMaxDepth);
    QXmlStreamReader &xml = bounded.xml();
    CallReader reader(bounded, longStrings);
    bool hasMethodName = false;
    bool hasParams = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = bounded.readNext();
        // A call has no document type: refusing it keeps entity
        // declarations, and with them entity bombs, out.
        if (token == QXmlStreamReader::DTD) {
            xml.raiseError(QStringLiteral("DTD"));
            break;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        // The document element: its first methodName and params count.
        while (bounded.readNextStartElement()) {
            if (!hasMethodName && xml.name() == QLatin1String("methodName")) {
                hasMethodName = true;
                bounded.readText(method);
                method = method.trimmed();
            } else if (!hasParams && xml.name() == QLatin1String("params")) {
                hasParams = true;
                while (bounded.readNextStartElement()) {
                    // Each param's first child element is its value.
                    QVariant value;
                    bool first = true;
                    while (bounded.readNextStartElement()) {
                        if (first)
                            value = reader.readMaybeValue();
                        else
                            bounded.skipCurrentElement();
                        first = false;
                    }
                    params.append(value);
                }
            } else {
                bounded.skipCurrentElement();
            }
        }
    }
    // Well-formed so far, but nested too deep or with an element where text belongs.
    if (bounded.refused()) {
        fault = MaiaFault(MaiaFault::InvalidRequest,
                          QStringLiteral("server error: invalid xml-rpc. not conforming to spec"));
        return false;
    }
    if (xml.hasError()) {
        fault = MaiaFault(MaiaFault::ParseError, QStringLiteral("parse error: not well formed"));
        return false;
    }
    if (!hasMethodName) {
        fault = MaiaFault(MaiaFault::InvalidRequest,
                          QStringLiteral("server error: invalid xml-rpc. not conforming to spec"));
        return false;
    }
    // A long string cut out and not found again where it was cut (it was in
    // a comment, say) leaves the call to be read whole.
    return !longStrings || reader.allLongStringsRead();
}

// Cuts the text of long <string> elements out of a call, so that the
// parser steps over an empty element instead of tens of megabytes of
// entity-laden text, which XmlText reads in one pass. Each cut is found
// again by where its element's text begins in the cut document. Only a
// text that XmlText reads exactly as a parser would is cut, and only from
// a document in UTF-8; else nothing is cut (an empty result).
QByteArray cutLongStrings(const QByteArray &body, QVector<LongString> &longStrings)
{
    if (body.size() < kLongString || !isUtf8(body))
        return QByteArray();
    const QByteArray open = QByteArrayLiteral("<string>");
    const QByteArray close = QByteArrayLiteral("</string>");
    QByteArray cut;
    qint64 offset = 0;
    int copied = 0;
    for (int at = body.indexOf(open); at >= 0; at = body.indexOf(open, at + 1)) {
        const int start = at + open.size();
        const int end = body.indexOf('<', start);
        if (end < 0)
            break;
        QString text;
        if (end - start < kLongString || body.mid(end, close.size()) != close
            || !XmlText::readCharacterData(body.constData() + start, end - start, text))
            continue;
        cut.append(body.constData() + copied, start - copied);
        offset += Zelto::fromUtf8(body.constData() + copied, start - copied).size();
        longStrings.append({offset, text});
        copied = end;
        at = end;
    }
    if (longStrings.isEmpty())
        return QByteArray();
    cut.append(body.constData() + copied, body.size() - copied);
    return cut;
}

} // namespace

bool MaiaObject::readCall(const QByteArray &body, QString &method, QVariantList &params, MaiaFault &fault)
{
    QVector<LongString> longStrings;
    const QByteArray cut = cutLongStrings(body, longStrings);
    if (!cut.isEmpty() && parseCall(cut, &longStrings, method, params, fault))
        return true;
    method.clear();
    params.clear();
    return parseCall(body, nullptr, method, params, fault);
}
