#pragma once

#include "zeltotable.h"

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QXmlStreamWriter>

// Writes tables and node packages in the table exchange format, the XML
// that the XML-RPC gateway hands out and takes back.
//
//   table-document = XML declaration, table named "table"
//   nodes-document = XML declaration, <nodes> node* </nodes>
//   node           = <node> table* </node>     one table per package entry, in key order
//   table          = <NAME> record* </NAME>    NAME: the table's name
//   record         = <record COLUMN="text" ...> complex* </record>
//                    one attribute per simple cell, in column order; then one
//                    element per list, string list or map cell
//   complex        = <NAME type="map"> value* </NAME>      one child per key, in key order
//                  | <NAME type="list"> item* </NAME>      item = value named "item"
//                  | <NAME type="strings"> <item>text</item>* </NAME>
//   value          = <NAME>text</NAME> | complex
//
// Text of a simple value: empty for null (of any type), "true"/"false" for bools, decimal
// or shortest round-trip text for numbers, the text itself for strings,
// "yyyy-MM-ddThh:mm:ss" for date-times (no milliseconds), "OutOfRange" and
// "Unused" for the cell markers, "?" for anything else (64-bit integers,
// dates or times alone). A cell of another user type (a table) is not
// written at all. The reader takes the type back from the text (see
// TableXmlReader::parseText), so text that looks like a number or a
// date-time comes back as one.
//
// Compatibility: the grammar and the text forms are shared with installed
// servers and client programs; new kinds of complex value may be added
// only under a new "type" value, which older readers refuse.
class TableXmlWriter
{
public:
    TableXmlWriter();

    // A map, list or string list as a complex element; anything else as its
    // text, in an attribute when asAttribute is set, else in an element.
    void writeValue(const QString &name, const QVariant &value, bool asAttribute);
    void writeTable(const QString &name, const ZeltoTable &table);
    void writeTableDocument(const ZeltoTable &table);
    // Each element a variant holding a ZeltoTableMap.
    void writeNodesDocument(const QVariantList &nodes);

    const QString &text() const { return m_text; }

    // The text form of a simple value.
    static QString textOf(const QVariant &value);

private:
    enum Kind { Simple, Complex, Marker, Skipped };
    static Kind kindOf(const QVariant &value);

    QString m_text;
    QXmlStreamWriter m_xml;
};
