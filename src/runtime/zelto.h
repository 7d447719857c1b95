#pragma once

#include <QString>

namespace Zelto {

// Blocks the calling thread; meant for pool threads.
void sleep(int ms);

// The program's folder, or ORVEX_HOME when that variable is set: the INI
// file, the database, metadata, backups and translations live there.
QString moduleDir();

}
