#pragma once

#include <QString>

namespace Zelto {

// UTF-8 as the text it is, invalid sequences as U+FFFD. QString::fromUtf8
// drops a byte order mark at the start, so a text that begins with U+FEFF
// would lose it, and a key "\uFEFF$x" would turn into "$x".
QString fromUtf8(const char *data, int size);

}
