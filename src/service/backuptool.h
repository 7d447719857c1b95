#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// Backups from the console: "-verify-backups [FOLDER]" lists every file of
// the backup folder and checks the copies; "-restore FILE" puts a copy in
// place of the database of the stopped service. Both print what they found
// or did, in Russian, and give the process exit code.
class BackupTool
{
    Q_DECLARE_TR_FUNCTIONS(BackupTool)

public:
    static bool isOption(const QString &argument);
    // The exit code; the arguments are the program's, its name first.
    static int run(const QStringList &arguments);
    // Lines for the program's -help.
    static QString help();

private:
    static int verify(const QString &folder);
    static int restore(const QString &file);
};
