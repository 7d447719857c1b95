#pragma once

#include <QString>

// Russian text in Latin letters, for clients that show only those: each
// Cyrillic letter as the Russian passport writes it (ж zh, х kh, ц ts,
// щ shch, ъ ie, ь left out, ю iu, я ia, ...), "№" as N. A capital made of
// two or more letters is all capitals within a capitalised word (ЖЭК ZHEK),
// else capitalised (Жук Zhuk). Other characters stay as they are.
class Transliteration
{
public:
    static QString toLatin(const QString &text);
};
