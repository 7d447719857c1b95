#pragma once

#include "boundedxmlreader.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QString>
#include <QVariant>
#include <QVariantList>

// Reads a nodes document of the table exchange format (grammar and text
// forms: TableXmlWriter) into node packages. Whitespace between elements is
// skipped; anything else that is not an element where one is expected (text,
// comments, a document type declaration, a token the XML parser refuses,
// input that ends early) fails the document with one message, the first
// error found. Packages completed before the error are kept. Elements nest
// no deeper than nodes, node, table and record, then 33 levels of lists,
// maps and their items.
class TableXmlReader
{
    Q_DECLARE_TR_FUNCTIONS(TableXmlReader)

public:
    explicit TableXmlReader(const QString &text);

    // Reads the whole document, appending each package to nodes(); false
    // at the first error, which errorString() describes.
    bool readNodesDocument();
    QString errorString() const { return m_error; }
    // Each a variant holding a ZeltoTableMap.
    const QVariantList &nodes() const { return m_nodes; }

    // The value of a text: "true"/"false" as bools, empty text and "?" as
    // null, then the first that fits of int, unsigned int and double; text
    // holding "-", "T" and ":" as a date-time "yyyy-MM-ddThh:mm:ss" (null
    // when it is not one); any other text as it is.
    static QVariant parseText(const QString &text);

private:
    // A document of a million nested lists must not exhaust the stack.
    static const int kMaxDepth = 4 + 33;

    enum ComplexType { NoType, ListType, StringsType, MapType, UnknownType };

    enum Child { Element, End, Broken };

    // The next token that is not whitespace.
    QXmlStreamReader::TokenType next();
    // Moves to the next child of the element being read: Element when there
    // is one (named name, when a name is given), End at the element's end,
    // Broken with the message given (errorText when it is not an element)
    // at anything else.
    Child nextChild(const QString &errorText, const QString &name = QString());
    bool fail(const QString &message);

    bool readNode(ZeltoTableMap &package);
    bool readTable(ZeltoTable &table);
    bool readRecordChildren(ZeltoTable &table, int row);
    ComplexType complexType() const;
    bool readComplex(ComplexType type, const QString &errorText, QVariant &value);
    bool readList(QVariant &value);
    bool readStrings(QVariant &value);
    bool readMap(QVariant &value);
    // A list item or map entry just started: a complex value by its type,
    // else its text's value.
    bool readElement(const QString &errorText, QVariant &value);
    // The text of the element just started, which must hold nothing else.
    bool readText(const QString &errorText, QString &text);

    BoundedXmlReader m_reader;
    const QXmlStreamReader &m_xml;
    QVariantList m_nodes;
    QString m_error;   // the last failure reported; empty while there is none
};
