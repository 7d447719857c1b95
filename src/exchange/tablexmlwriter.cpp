#include "tablexmlwriter.h"

#include "tablexmlnames.h"
#include "xmltext.h"

#include <QDateTime>

using namespace TableXmlNames;

TableXmlWriter::TableXmlWriter() : m_xml(&m_text)
{
    m_xml.setAutoFormatting(true);
}

TableXmlWriter::Kind TableXmlWriter::kindOf(const QVariant &value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return Complex;
    default:
        break;
    }
    if (type < QMetaType::User)
        return Simple;
    if (type == qMetaTypeId<ZeltoOutOfRange>() || type == qMetaTypeId<ZeltoUnused>())
        return Marker;
    return Skipped;
}

QString TableXmlWriter::textOf(const QVariant &value)
{
    // The database gives a column without a value as a null int: it is no
    // value, not 0.
    if (value.isNull() && value.userType() < QMetaType::User)
        return QString();
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QString();
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
        return QString::number(value.toInt());
    case QMetaType::UInt:
        return QString::number(value.toUInt());
    case QMetaType::Double:
        // Numbers hold nothing that XML refuses.
        return value.toString();
    case QMetaType::QString:
    case QMetaType::QByteArray:
        return XmlText::clean(value.toString());
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        if (!dateTime.isValid())
            return QString();
        return dateTime.date().toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('T')
            + dateTime.time().toString(QStringLiteral("hh:mm:ss"));
    }
    default:
        break;
    }
    if (value.userType() == qMetaTypeId<ZeltoOutOfRange>())
        return kOutOfRange;
    if (value.userType() == qMetaTypeId<ZeltoUnused>())
        return kUnused;
    return QStringLiteral("?");
}

void TableXmlWriter::writeValue(const QString &name, const QVariant &value, bool asAttribute)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        m_xml.writeStartElement(name);
        m_xml.writeAttribute(kType, QStringLiteral("map"));
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            writeValue(it.key(), it.value(), false);
        m_xml.writeEndElement();
        return;
    }
    case QMetaType::QVariantList: {
        m_xml.writeStartElement(name);
        m_xml.writeAttribute(kType, QStringLiteral("list"));
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            writeValue(kItem, item, false);
        m_xml.writeEndElement();
        return;
    }
    case QMetaType::QStringList: {
        m_xml.writeStartElement(name);
        m_xml.writeAttribute(kType, QStringLiteral("strings"));
        const QStringList strings = value.toStringList();
        for (const QString &item : strings)
            m_xml.writeTextElement(kItem, XmlText::clean(item));
        m_xml.writeEndElement();
        return;
    }
    default:
        break;
    }
    if (asAttribute)
        m_xml.writeAttribute(name, textOf(value));
    else
        m_xml.writeTextElement(name, textOf(value));
}

void TableXmlWriter::writeTable(const QString &name, const ZeltoTable &table)
{
    m_xml.writeStartElement(name);
    const QStringList columns = table.columnNames();
    const int columnCount = columns.size();
    for (int row = 0; row < table.rowCount(); ++row) {
        m_xml.writeStartElement(kRecord);
        // The stored cells by reference: a row may be shorter than the
        // columns, the missing cells being null.
        const QVector<QVariant> &cells = table.rowCells(row);
        bool hasComplex = false;
        for (int column = 0; column < columnCount; ++column) {
            if (column >= cells.size()) {
                m_xml.writeAttribute(columns.at(column), QString());
                continue;
            }
            const QVariant &cell = cells.at(column);
            switch (kindOf(cell)) {
            case Simple:
            case Marker:
                m_xml.writeAttribute(columns.at(column), textOf(cell));
                break;
            case Complex:
                hasComplex = true;
                break;
            case Skipped:
                break;
            }
        }
        if (hasComplex) {
            for (int column = 0; column < cells.size() && column < columnCount; ++column) {
                if (kindOf(cells.at(column)) == Complex)
                    writeValue(columns.at(column), cells.at(column), false);
            }
        }
        m_xml.writeEndElement();
    }
    m_xml.writeEndElement();
}

void TableXmlWriter::writeTableDocument(const ZeltoTable &table)
{
    m_xml.writeStartDocument();
    writeTable(QStringLiteral("table"), table);
    m_xml.writeEndDocument();
}

void TableXmlWriter::writeNodesDocument(const QVariantList &nodes)
{
    m_xml.writeStartDocument();
    m_xml.writeStartElement(QStringLiteral("nodes"));
    for (const QVariant &node : nodes) {
        m_xml.writeStartElement(QStringLiteral("node"));
        const ZeltoTableMap tables = node.value<ZeltoTableMap>();
        for (auto it = tables.constBegin(); it != tables.constEnd(); ++it)
            writeTable(it.key(), it.value());
        m_xml.writeEndElement();
    }
    m_xml.writeEndElement();
    m_xml.writeEndDocument();
}
