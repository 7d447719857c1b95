#pragma once

#include <QString>

namespace Zelto {

// Blocks the calling thread; meant for pool threads.
void sleep(int ms);

// The program's folder, or ORVEX_HOME when that variable is set: the INI
// file, the database, metadata, backups and translations live there.
QString moduleDir();

// Makes the C library read the system time zone once instead of on every
// local-time conversion (with TZ unset glibc checks /etc/localtime each time,
// which dominates decoding archives full of dates). Call at the start of
// main; a change of the system time zone then needs a restart.
void pinTimeZone();

}
