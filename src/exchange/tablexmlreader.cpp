#include "tablexmlreader.h"

#include "tablexmlnames.h"

#include <QDateTime>
#include <QStringList>
#include <QVector>

using namespace TableXmlNames;

namespace {

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
    // Most cells of an archive are fractions: a point or an exponent rules
    // out both integer parses, which would only fail.
    const bool fraction = text.contains(QLatin1Char('.')) || text.contains(QLatin1Char('e'))
                          || text.contains(QLatin1Char('E'));
    if (!fraction) {
        const int i = text.toInt(&ok, 10);
        if (ok)
            return i;
        const uint u = text.toUInt(&ok, 10);
        if (ok)
            return u;
    }
    const double d = text.toDouble(&ok);
    if (ok)
        return d;
    if (text.contains(QLatin1Char('-')) && text.contains(QLatin1Char('T')) && text.contains(QLatin1Char(':')))
        return QDateTime::fromString(text.toString(), QStringLiteral("yyyy-MM-ddThh:mm:ss"));
    return text.toString();
}

} // namespace

TableXmlReader::TableXmlReader(const QString &text) : m_reader(text, kMaxDepth), m_xml(m_reader.xml())
{
}

QVariant TableXmlReader::parseText(const QString &text)
{
    return parseRef(QStringRef(&text));
}

QXmlStreamReader::TokenType TableXmlReader::next()
{
    for (;;) {
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (token != QXmlStreamReader::Characters || !m_xml.isWhitespace())
            return token;
    }
}

bool TableXmlReader::fail(const QString &message)
{
    m_error = message;   // an outer element's failure describes it better
    return false;
}

TableXmlReader::Child TableXmlReader::nextChild(const QString &errorText, const QString &name)
{
    const QXmlStreamReader::TokenType token = next();
    if (token == QXmlStreamReader::EndElement || token == QXmlStreamReader::EndDocument)
        return End;
    if (token != QXmlStreamReader::StartElement) {
        fail(errorText);
        return Broken;
    }
    if (!name.isEmpty() && m_xml.name() != name) {
        fail(tr("Не найден элемент <%1>").arg(name));
        return Broken;
    }
    return Element;
}

bool TableXmlReader::readNodesDocument()
{
    if (next() != QXmlStreamReader::StartDocument || next() != QXmlStreamReader::StartElement)
        return fail(tr("Ошибка XML"));
    if (m_xml.name() != QLatin1String("nodes"))
        return fail(tr("Не найден элемент <nodes>"));
    Child child;
    while ((child = nextChild(tr("Ошибка XML"), QStringLiteral("node"))) == Element) {
        ZeltoTableMap package;
        if (!readNode(package))
            return false;
        m_nodes.append(QVariant::fromValue(package));
    }
    return child == End;
}

bool TableXmlReader::readNode(ZeltoTableMap &package)
{
    Child child;
    while ((child = nextChild(tr("Ошибка XML"))) == Element) {
        const QString name = m_xml.name().toString();
        ZeltoTable table;
        if (!readTable(table))
            return false;
        if (table.rowCount() > 0)
            package.insert(name, table);
    }
    return child == End;
}

bool TableXmlReader::readTable(ZeltoTable &table)
{
    // Records of one table name their columns alike: the column of each
    // attribute position is remembered, so that a long archive is not
    // looked up by name cell by cell.
    QVector<QString> names;
    QVector<int> columns;
    Child child;
    while ((child = nextChild(tr("Ошибка XML"), kRecord)) == Element) {
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
    return child == End;
}

bool TableXmlReader::readRecordChildren(ZeltoTable &table, int row)
{
    Child child;
    while ((child = nextChild(tr("Ошибка XML"))) == Element) {
        const QString name = m_xml.name().toString();
        const ComplexType type = complexType();
        if (type == NoType)
            return fail(tr("Не найден атрибут type"));
        QVariant value;
        if (!readComplex(type, tr("Ошибка XML"), value))
            return false;
        table.setValue(row, name, value);
    }
    return child == End;
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

bool TableXmlReader::readComplex(ComplexType type, const QString &errorText, QVariant &value)
{
    // A type this reader does not know is refused rather than skipped: its
    // content would be lost without a word.
    switch (type) {
    case ListType:
        return readList(value);
    case StringsType:
        return readStrings(value);
    case MapType:
        return readMap(value);
    default:
        return fail(errorText);
    }
}

bool TableXmlReader::readList(QVariant &value)
{
    const QString errorText = tr("Ошибка XML 1");
    QVariantList list;
    Child child;
    while ((child = nextChild(errorText, kItem)) == Element) {
        QVariant item;
        if (!readElement(errorText, item))
            return false;
        list.append(item);
    }
    value = list;
    return child == End;
}

bool TableXmlReader::readStrings(QVariant &value)
{
    const QString errorText = tr("Ошибка XML 2");
    QStringList strings;
    Child child;
    while ((child = nextChild(errorText, kItem)) == Element) {
        QString text;
        if (!readText(errorText, text))
            return false;
        strings.append(text);
    }
    value = strings;
    return child == End;
}

bool TableXmlReader::readMap(QVariant &value)
{
    const QString errorText = tr("Ошибка XML 3");
    QVariantMap map;
    Child child;
    while ((child = nextChild(errorText)) == Element) {
        const QString key = m_xml.name().toString();
        QVariant item;
        if (!readElement(errorText, item))
            return false;
        map.insert(key, item);
    }
    value = map;
    return child == End;
}

bool TableXmlReader::readElement(const QString &errorText, QVariant &value)
{
    const ComplexType type = complexType();
    if (type != NoType)
        return readComplex(type, errorText, value);
    QString text;
    if (!readText(errorText, text))
        return false;
    value = parseText(text);
    return true;
}

bool TableXmlReader::readText(const QString &errorText, QString &text)
{
    return m_reader.readText(text) || fail(errorText);
}
