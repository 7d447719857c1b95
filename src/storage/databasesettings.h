#pragma once

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QString>

// Where the server's database is: the INI file's [Database] section.
//
//     driver=QSQLITE | QPSQL   ; default QSQLITE
//     databaseName=...         ; the SQLite file (default telvan.db in the home folder),
//                              ; or the PostgreSQL database (default "orvex")
//     host=..., port=...       ; QPSQL: the server (default localhost, 5432; a host
//                              ; starting with "/" is the folder of its unix socket)
//     user=...                 ; QPSQL: the role (default: the operating system's user)
//     password=... | passwordFile=...   ; QPSQL, one of them; the file must be readable
//                                       ; by the service's user alone
//
// Keys added later must default to what the server did without them, so an
// INI file of an older release reads as before.
class DatabaseSettings
{
    Q_DECLARE_TR_FUNCTIONS(DatabaseSettings)

public:
    enum Driver { SQLite, PostgreSQL };

    // The settings of the INI file at iniPath (none: all defaults); on a
    // setting that cannot be used, isValid() is false and error() says which.
    static DatabaseSettings fromIni(const QString &iniPath);

    // Where -copy-database-to copies to, one of
    //     postgresql://[user@]host[:port]/database   ; the password from libpq's own
    //                                                ; PGPASSFILE or ~/.pgpass, never the command line
    //     sqlite:FILE                                ; a SQLite file
    //     FILE                                       ; an INI file whose [Database] section names it
    static DatabaseSettings fromTarget(const QString &argument);

    bool isValid() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }

    Driver driver() const { return m_driver; }
    bool isPostgreSQL() const { return m_driver == PostgreSQL; }
    const QString &databaseName() const { return m_databaseName; }
    const QString &host() const { return m_host; }
    int port() const { return m_port; }
    const QString &user() const { return m_user; }
    // "host:port/database" of a PostgreSQL database, the file of a SQLite one: for the log.
    QString describe() const;

    // Adds a connection of this name with these settings and opens it; the
    // connection (isOpen() false when it failed, its lastError() says why).
    // PostgreSQL connections give up on a server that does not answer
    // within seconds rather than hang the server's thread.
    QSqlDatabase open(const QString &connectionName) const;

private:
    Driver m_driver = SQLite;
    QString m_databaseName;
    QString m_host;
    int m_port = 5432;
    QString m_user;
    QString m_password;
    QString m_error;
};
