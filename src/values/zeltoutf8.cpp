#include "zeltoutf8.h"

#include <cstring>

namespace Zelto {

QString fromUtf8(const char *data, int size)
{
    // Every leading mark is kept, and what follows them starts with none.
    int marks = 0;
    while (size - 3 * marks >= 3 && std::memcmp(data + 3 * marks, "\xEF\xBB\xBF", 3) == 0)
        ++marks;
    if (marks == 0)
        return QString::fromUtf8(data, size);
    return QString(marks, QChar(0xFEFF)) + QString::fromUtf8(data + 3 * marks, size - 3 * marks);
}

}
