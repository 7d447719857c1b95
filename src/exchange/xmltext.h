#pragma once

#include <QByteArray>
#include <QString>

// Text that an XML 1.0 document may hold. Control characters other than
// tab, line feed and carriage return, the non-characters U+FFFE and U+FFFF
// and halves of surrogate pairs cannot be written into XML at all: a
// parser refuses the whole document. A note or a name holding one must not
// make a node unexportable or a reply unreadable, so each becomes U+FFFD.
class XmlText
{
public:
    static QString clean(const QString &text);

    // Appends text as UTF-8 character data, cleaned as clean() does and with
    // "<", ">", "&" and '"' written as entities and carriage return as
    // "&#13;" (a parser reads a raw one as a line feed), in one pass: a
    // package of tens of megabytes goes into a reply without copies of
    // itself.
    static void appendEscaped(QByteArray &utf8, const QString &text);

    // Reads UTF-8 character data that an XML parser would read as this
    // text: characters XML allows, the entities "&lt;", "&gt;", "&amp;",
    // "&quot;" and "&apos;" and character references. False on anything
    // else (markup, other references, a raw carriage return, which XML reads
    // as a line feed, "]]>", bytes that are not UTF-8): the caller then
    // leaves the text to a parser.
    static bool readCharacterData(const char *utf8, int size, QString &text);

private:
    static bool isAllowed(const QChar *chars, int size, int index);
};
