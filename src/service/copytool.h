#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// "-copy-database-to TARGET" from the console: copies the database the
// server's INI file names into an empty one (DatabaseCopy), checks it and
// prints what it copied, in Russian; the listeners are never opened. The
// exit code is 0 when the copy is checked and kept, 1 when it failed (the
// target then as it was), 2 for wrong arguments.
class CopyTool
{
    Q_DECLARE_TR_FUNCTIONS(CopyTool)

public:
    static bool isOption(const QString &argument);
    // The exit code; the arguments are the program's, its name first.
    static int run(const QStringList &arguments, const QString &settingsPath);
    // Lines for the program's -help.
    static QString help();
};
