#include "xmltext.h"

bool XmlText::isAllowed(const QChar *chars, int size, int index)
{
    const ushort c = chars[index].unicode();
    if (c < 0x20)
        return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c == 0xFFFE || c == 0xFFFF)
        return false;
    if (QChar::isHighSurrogate(c))
        return index + 1 < size && QChar::isLowSurrogate(chars[index + 1].unicode());
    if (QChar::isLowSurrogate(c))
        return index > 0 && QChar::isHighSurrogate(chars[index - 1].unicode());
    return true;
}

QString XmlText::clean(const QString &text)
{
    const QChar *chars = text.constData();
    const int size = text.size();
    int first = 0;
    while (first < size && isAllowed(chars, size, first))
        ++first;
    // Nearly every text is clean: it is returned without a copy.
    if (first == size)
        return text;
    QString result = text;
    for (int i = first; i < size; ++i) {
        if (!isAllowed(chars, size, i))
            result[i] = QChar::ReplacementCharacter;
    }
    return result;
}
