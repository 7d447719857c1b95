#pragma once

// The benchmarks that work on a database in their own process: the one
// place they open it and read the process's database, and the server's
// context they act in.

#include "benchserver.h"
#include "commandcontext.h"
#include "database.h"

namespace Bench {

// A failure with its status's kind and text.
[[noreturn]] inline void fail(const char *what, const ZeltoStatus &status)
{
    std::fprintf(stderr, "%s failed (%s): %s\n", what, ZeltoStatus::kindName(status.kind()),
                 qPrintable(status.message()));
    std::exit(1);
}

// The open database.
inline Database &database()
{
    return *Database::instance();
}

// The database in the home folder ORVEX_HOME names, opened (or the benchmark ends).
inline Database &openDatabase()
{
    const ZeltoStatus opened = Database::init();
    if (!opened.ok())
        fail("database", opened);
    return database();
}

// Stores a setting (or the benchmark ends).
inline void putSetting(const QString &name, const QVariant &value)
{
    const ZeltoStatus put = database().putSetting(name, value);
    if (!put.ok())
        fail("setting", put);
}

inline CommandContext serverContext()
{
    return CommandContext::server(&database());
}

} // namespace Bench
