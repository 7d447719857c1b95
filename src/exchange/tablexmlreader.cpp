#include "tablexmlreader.h"

#include "zeltosystem.h"

#include <QDateTime>
#include <QStringList>
#include <QVector>

namespace {

const QString kType = QStringLiteral("type");
const QString kItem = QStringLiteral("item");
const QString kRecord = QStringLiteral("record");
const QString kOutOfRange = QStringLiteral("OutOfRange");
const QString kUnused = QStringLiteral("Unused");

// parseText on a piece of the document, so that the many plain numbers of
// an archive are read without a string of their own.
QVariant parseRef(const QStringRef &text)
{
    if (text == QLatin1String("true"))
        return true;
    if (text == QLatin1String("false"))
        return false;
    if (text.isEmpty() || text == QLatin1String("?"))
        return QVariant();
    bool ok = false;
    const int i = text.toInt(&ok, 10);
    if (ok)
        return i;
    const uint u = text.toUInt(&ok, 10);
    if (ok)
        return u;
    const double d = text.toDouble(&ok);
    if (ok)
        return d;
    if (text.contains(QLatin1Char('-')) && text.contains(QLatin1Char('T')) && text.contains(QLatin1Char(':')))
        return QDateTime::fromString(text.toString(), QStringLiteral("yyyy-MM-ddThh:mm:ss"));
    return text.toString();
}

} // namespace

TableXmlReader::TableXmlReader(const QString &text) : m_xml(text)
{
}

QVariant TableXmlReader::parseText(const QString &text)
{
    return parseRef(QStringRef(&text));
}

QXmlStreamReader::TokenType TableXmlReader::next()
{
    for (;;) {
        const QXmlStreamReader::TokenType token = m_xml.readNext();
        if (token != QXmlStreamReader::Characters || !m_xml.isWhitespace())
            return token;
    }
}

bool TableXmlReader::fail(const QString &message)
{
    return ZeltoSystem::instance()->error(message, true);
}

bool TableXmlReader::readNodesDocument()
{
    if (next() != QXmlStreamReader::StartDocument || next() != QXmlStreamReader::StartElement)
        return fail(tr("Ошибка XML"));
    if (m_xml.name() != QLatin1String("nodes"))
        return fail(tr("Не найден элемент <nodes>"));
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement || token == QXmlStreamReader::EndDocument)
            return true;
        if (token != QXmlStreamReader::StartElement)
            return fail(tr("Ошибка XML"));
        if (m_xml.name() != QLatin1String("node"))
            return fail(tr("Не найден элемент <node>"));
        ZeltoTableMap package;
        if (!readNode(package))
            return false;
        m_nodes.append(QVariant::fromValue(package));
    }
}

bool TableXmlReader::readNode(ZeltoTableMap &package)
{
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            return true;
        if (token != QXmlStreamReader::StartElement)
            return fail(tr("Ошибка XML"));
        const QString name = m_xml.name().toString();
        ZeltoTable table;
        if (!readTable(table))
            return false;
        if (table.rowCount() > 0)
            package.insert(name, table);
    }
}

bool TableXmlReader::readTable(ZeltoTable &table)
{
    // Records of one table name their columns alike: the column of each
    // attribute position is remembered, so that a long archive is not
    // looked up by name cell by cell.
    QVector<QString> names;
    QVector<int> columns;
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            return true;
        if (token != QXmlStreamReader::StartElement)
            return fail(tr("Ошибка XML"));
        if (m_xml.name() != kRecord)
            return fail(tr("Не найден элемент <record>"));
        const int row = table.appendRow();
        const QXmlStreamAttributes attributes = m_xml.attributes();
        for (int i = 0; i < attributes.size(); ++i) {
            const QXmlStreamAttribute &attribute = attributes.at(i);
            if (i >= names.size()) {
                names.resize(i + 1);
                columns.resize(i + 1);
            }
            if (names.at(i).isNull() || attribute.name() != names.at(i)) {
                names[i] = attribute.name().toString();
                columns[i] = table.appendColumn(names.at(i));
            }
            const QStringRef text = attribute.value();
            QVariant value;
            if (text == kOutOfRange)
                value = QVariant::fromValue(ZeltoOutOfRange());
            else if (text == kUnused)
                value = QVariant::fromValue(ZeltoUnused());
            else
                value = parseRef(text);
            table.setValue(row, columns.at(i), value);
        }
        if (!readRecordChildren(table, row))
            return false;
    }
}

bool TableXmlReader::readRecordChildren(ZeltoTable &table, int row)
{
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            return true;
        if (token != QXmlStreamReader::StartElement)
            return fail(tr("Ошибка XML"));
        const QString name = m_xml.name().toString();
        const ComplexType type = complexType();
        if (type == NoType)
            return fail(tr("Не найден атрибут type"));
        QVariant value;
        if (!readComplex(type, 1, tr("Ошибка XML"), value))
            return false;
        table.setValue(row, name, value);
    }
}

TableXmlReader::ComplexType TableXmlReader::complexType() const
{
    const QXmlStreamAttributes attributes = m_xml.attributes();
    if (!attributes.hasAttribute(kType))
        return NoType;
    const QStringRef type = attributes.value(kType);
    if (type == QLatin1String("list"))
        return ListType;
    if (type == QLatin1String("strings"))
        return StringsType;
    if (type == QLatin1String("map"))
        return MapType;
    return UnknownType;
}

bool TableXmlReader::readComplex(ComplexType type, int depth, const QString &errorText, QVariant &value)
{
    // A type this reader does not know is refused rather than skipped: its
    // content would be lost without a word.
    if (depth > kMaxDepth)
        return fail(errorText);
    switch (type) {
    case ListType:
        return readList(depth, value);
    case StringsType:
        return readStrings(value);
    case MapType:
        return readMap(depth, value);
    default:
        return fail(errorText);
    }
}

bool TableXmlReader::readList(int depth, QVariant &value)
{
    const QString errorText = tr("Ошибка XML 1");
    QVariantList list;
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            break;
        if (token != QXmlStreamReader::StartElement)
            return fail(errorText);
        if (m_xml.name() != kItem)
            return fail(tr("Не найден элемент <item>"));
        const ComplexType type = complexType();
        QVariant item;
        if (type == NoType) {
            QString text;
            if (!readText(errorText, text))
                return false;
            item = parseText(text);
        } else if (!readComplex(type, depth + 1, errorText, item)) {
            return false;
        }
        list.append(item);
    }
    value = list;
    return true;
}

bool TableXmlReader::readStrings(QVariant &value)
{
    const QString errorText = tr("Ошибка XML 2");
    QStringList strings;
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            break;
        if (token != QXmlStreamReader::StartElement)
            return fail(errorText);
        if (m_xml.name() != kItem)
            return fail(tr("Не найден элемент <item>"));
        QString text;
        if (!readText(errorText, text))
            return false;
        strings.append(text);
    }
    value = strings;
    return true;
}

bool TableXmlReader::readMap(int depth, QVariant &value)
{
    const QString errorText = tr("Ошибка XML 3");
    QVariantMap map;
    for (;;) {
        const QXmlStreamReader::TokenType token = next();
        if (token == QXmlStreamReader::EndElement)
            break;
        if (token != QXmlStreamReader::StartElement)
            return fail(errorText);
        const QString key = m_xml.name().toString();
        const ComplexType type = complexType();
        QVariant item;
        if (type == NoType) {
            QString text;
            if (!readText(errorText, text))
                return false;
            item = parseText(text);
        } else if (!readComplex(type, depth + 1, errorText, item)) {
            return false;
        }
        map.insert(key, item);
    }
    value = map;
    return true;
}

bool TableXmlReader::readText(const QString &errorText, QString &text)
{
    text = m_xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
    return !m_xml.hasError() || fail(errorText);
}
