#pragma once

#include <QString>

namespace Zelto {

// Blocks the calling thread; meant for pool threads.
void sleep(int ms);

// The program's folder, or ORVEX_HOME when that variable is set: the INI
// file, the database, metadata, backups and translations live there.
QString moduleDir();

// The folder of the read-only files shipped with the program (metadata/,
// translations/): ORVEX_DATA_DIR when set; else the home when it has a
// metadata folder (a build tree, a test home); else ../share/orvex beside
// the executable's folder when that exists (an installed program); else
// the home.
QString dataDir();

// True when standard error goes to the systemd journal (systemd sets
// JOURNAL_STREAM for a service): log lines then go only through syslog,
// which the journal keeps with their levels, not twice.
bool stderrIsJournal();

// Makes the C library read the system time zone once instead of on every
// local-time conversion (with TZ unset glibc checks /etc/localtime each time,
// which dominates decoding archives full of dates). Call at the start of
// main; a change of the system time zone then needs a restart.
void pinTimeZone();

}
