#pragma once

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

private:
    static bool isAllowed(const QChar *chars, int size, int index);
};
