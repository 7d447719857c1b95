#pragma once

#include "zeltostatus.h"

#include <QObject>
#include <QPointer>
#include <QString>

class BackupJob;
class Database;

// The backup of the live database, seen from the main thread: one at a
// time, into the folder and keeping the number of copies the settings give
// ("backupDir", "backupCount"). The copy itself runs on a BackupJob's thread;
// its end comes back here as the finished signal.
class DatabaseBackup : public QObject
{
    Q_OBJECT

public:
    // Starts a copy of database. Refused while another one runs or when the
    // database or the folder is not there.
    static ZeltoResult<DatabaseBackup *> start(Database &database);
    static DatabaseBackup *running();
    // Stops the running copy, if any, and waits for it: its temporary file
    // goes, and finished reports the copy as failed.
    static void abort();
    // What copies cut short (a killed server) left in the backup folder.
    static void removeLeftovers(Database &database);
    // Setting "backupDir" of database, by default "backup" in the home folder.
    static QString folderPath(Database &database);
    // The same, read from a database file without opening it as the
    // server's database: for tools beside a stopped or running server.
    static QString folderPathOf(const QString &databaseFile);

    // Blocks until the copy is done; finished has been emitted on return.
    void waitForFinished();

signals:
    // A copy with a name is complete and checked; error says why there is
    // none. A failed rotation of older copies is written to the journal and
    // does not make the copy fail.
    void finished(bool ok, const QString &error);

private:
    DatabaseBackup(Database &database, const QString &folder, const QString &copyName, int count);
    void report();

    QPointer<Database> m_database;   // journals a failed rotation, while it is there
    BackupJob *m_job = nullptr;
    bool m_reported = false;
};
