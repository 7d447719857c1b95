#include "transliteration.h"

#include <QHash>

namespace {

// Lower-case letters (Russian, and the Ukrainian ones a title may borrow).
const QHash<QChar, QString> &letters()
{
    static const QHash<QChar, QString> table = [] {
        const QString cyrillic = QStringLiteral("абвгдеёжзийклмнопрстуфхцчшщъыьэюяіїєґ");
        const char *latin[] = {"a", "b", "v",  "g",  "d",  "e",    "e",  "zh", "z", "i",  "i", "k",  "l",
                               "m", "n", "o",  "p",  "r",  "s",    "t",  "u",  "f", "kh", "ts", "ch", "sh",
                               "shch", "ie", "y", "", "e", "iu", "ia", "i", "i", "ie", "g"};
        Q_ASSERT(int(sizeof(latin) / sizeof(*latin)) == cyrillic.size());
        QHash<QChar, QString> map;
        for (int i = 0; i < cyrillic.size(); ++i)
            map.insert(cyrillic.at(i), QString::fromLatin1(latin[i]));
        map.insert(QChar(0x2116), QStringLiteral("N"));   // №
        return map;
    }();
    return table;
}

bool isUpperLetter(const QString &text, int at)
{
    return at >= 0 && at < text.size() && text.at(at).isLetter() && text.at(at).isUpper();
}

} // namespace

QString Transliteration::toLatin(const QString &text)
{
    QString latin;
    latin.reserve(text.size() + text.size() / 4);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const auto found = letters().constFind(c.toLower());
        if (found == letters().constEnd()) {
            latin.append(c);
            continue;
        }
        if (!c.isUpper() || found->isEmpty()) {
            latin.append(*found);
            continue;
        }
        // A capital: among capitals (the next letter one, or at a word's end the one before) all of it.
        const bool nextIsLetter = i + 1 < text.size() && text.at(i + 1).isLetter();
        const bool amongCapitals = nextIsLetter ? isUpperLetter(text, i + 1) : isUpperLetter(text, i - 1);
        latin.append(amongCapitals ? found->toUpper() : found->left(1).toUpper() + found->mid(1));
    }
    return latin;
}
