#pragma once

#include <QString>

// The environment variables the server reads, all in one place. They are
// read once, when the first of them is asked for (at the start of main,
// before any other thread runs); the rest of the program asks here, never
// the process environment. What each one means is in README.md
// ("Environment").
//
//   ORVEX_HOME, ORVEX_CONFIG, ORVEX_DATA_DIR, ORVEX_RUNTIME_DIR
//   ORVEX_LOG_LEVEL, ORVEX_STREAM_VERSION, ORVEX_MONITOR_TICK_MS
//   ORVEX_NODE, ORVEX_OPC_GATEWAY, ORVEX_BACKUP_STEP_PAUSE_MS
//   ORVEX_ARCHIVE_SPLICE (benchmarks: 0 decodes whole archives)
//   XDG_RUNTIME_DIR, JOURNAL_STREAM (set by systemd), TZ
//
// An empty variable counts as one that is not set. Safe from any thread.
class ZeltoEnvironment
{
public:
    // Folders and files as given; empty when not set.
    static QString home();
    static QString configFile();
    static QString dataDir();
    // ORVEX_RUNTIME_DIR, else XDG_RUNTIME_DIR, else /tmp.
    static QString runtimeDir();

    // ORVEX_LOG_LEVEL; fallback when it is not set or not a number.
    static int logLevel(int fallback);
    // ORVEX_STREAM_VERSION; 0 when it is not set or not a number.
    static int streamVersion();
    // ORVEX_MONITOR_TICK_MS; fallback when it is not a positive number.
    static int monitorTickMs(int fallback);
    // ORVEX_BACKUP_STEP_PAUSE_MS; 0 when it is not a positive number.
    static int backupStepPauseMs();
    // ORVEX_NODE, else "node"; ORVEX_OPC_GATEWAY as given.
    static QString nodeProgram();
    static QString opcGateway();
    // ORVEX_ARCHIVE_SPLICE: off only for "0".
    static bool archiveSplicing();
    // JOURNAL_STREAM is set: standard error goes to the systemd journal.
    static bool stderrIsJournal();
    // TZ is set.
    static bool timeZoneSet();

    // Gives one of the variables above another value for the rest of the
    // process, an empty one unsetting it: for tests, and for programs that
    // run parts of the server in-process. The process environment (what
    // child processes inherit) is not touched.
    static void set(const char *name, const QString &value);
};
