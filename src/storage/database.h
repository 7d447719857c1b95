#pragma once

#include "sqldialect.h"
#include "statementcache.h"
#include "storeddatareader.h"
#include "zeltostatus.h"
#include "zeltotable.h"

#include <QObject>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <QVector>

#include <functional>
#include <memory>

class QSqlError;
class QSqlQuery;
class WalCheckpointer;
class ZeltoClock;
struct sqlite3;

// The server's one database on the default connection, a SQLite file or a
// PostgreSQL database ([Database] of the INI file): opening, schema creation
// and upgrades, the stored form of values, the settings store, generic row
// access, the event journal and compaction. What the two say differently is
// said here and in SqlDialect; the layers above write one SQL for both.
// Everything runs on the main thread. The member operations return their
// failure's status (a statement SQLite refuses is a storage failure, or a
// conflict when it breaks a constraint or trigger; never an empty result);
// commands reach them through their CommandContext, the server's own work
// through the Database the service hands to what it creates.
class Database : public QObject, public StoredDataReader
{
    Q_OBJECT

public:
    ~Database() override;

    // Connection and schema --------------------------------------------------
    // Once at service start: open, then prepare the schema. Succeeds with a
    // warning as its text when the file is of a newer release than this one.
    static ZeltoStatus init();
    static ZeltoStatus open();
    static ZeltoStatus prepareSchema();
    static void destroy();        // deletes the object and removes the default connection
    // The name of the default connection, the one the database is on; on
    // PostgreSQL a server's ActiveLock holds the lock on it, and open() adopts it.
    static QString connectionName();
    static int supportedVersion();   // the newest schema version this release knows
    static QString fileName();    // the database file the INI file names, or telvan.db in the home folder
    // Process-wide because the file has one connection per process (null
    // before init and after destroy): read only where the service, a tool or
    // a test opens it and hands it on.
    static Database *instance();
    int openScopes() const { return m_transactionDepth; }   // transaction scopes open on this database
    // The clock of the times the database stamps on its own: journal
    // entries, the age of the journal, backup names, saves of archives and
    // imports. The system clock unless another is set.
    ZeltoClock *stampClock() const { return m_clock; }
    void setStampClock(ZeltoClock *clock);   // null: the system clock
    int schemaVersion() const { return m_version; }   // schema version reached; -1 before the check
    QString filePath() const;   // the open file; empty when the connection is closed or on PostgreSQL
    bool isOpen() const { return db.isOpen(); }
    // The data is on PostgreSQL: backups and compaction are PostgreSQL's own work.
    bool isPostgreSQL() const { return m_postgres; }

    // Stored form of values ----------------------------------------------------
    static const QStringList &dateTimeColumns();
    // A value's stored form; a type without one is refused.
    static ZeltoResult<QVariant> encodeValue(const QVariant &value);
    // A stored form read back (SQL NULL as a null int); bytes that do not
    // decode are a storage failure.
    static ZeltoResult<QVariant> decodeValue(const QVariant &value, const QString &column);

    // Row access with statuses ----------------------------------------------
    ZeltoStatus run(const QString &statement, const QVariantList &binds = QVariantList());
    ZeltoResult<bool> has(const QString &table, const QString &condition, const QVariantList &binds = QVariantList());
    // The first row; an empty map when there is none.
    ZeltoResult<QVariantMap> row(const QString &statement, const QVariantList &binds = QVariantList());
    ZeltoResult<ZeltoTable> rows(const QString &statement, const QVariantList &binds = QVariantList());
    // Insert (no "id") or update (by "id"): the row's id.
    ZeltoResult<int> save(const QString &table, const QVariantMap &record);
    // A column of a <table>_data row, decoded or as stored; a missing row is not found.
    ZeltoResult<QVariant> data(const QString &table, int id, const QString &column);
    ZeltoResult<QVariant> storedData(const QString &table, int id, const QString &column) override;
    // Columns of a <table>_data row as stored, by name, in one statement: a
    // row is read once however many columns are wanted.
    ZeltoResult<QVariantMap> storedRow(const QString &table, int id, const QStringList &columns);
    // storedRow for many rows: each <table>_data row of ids with its id and
    // the columns as stored, in no particular order (ids without a row give
    // none), a few statements for the lot. On SQLite a BLOB's bytes are
    // valid only until `each` returns.
    ZeltoStatus storedRows(const QString &table, const QList<int> &ids, const QStringList &columns,
                           const std::function<void(int id, const QVector<QVariant> &values)> &each) override;
    // Several columns of a <table>_data row in one statement.
    ZeltoStatus write(const QString &table, int id, const QVariantMap &columns);
    // A setting's stored value; an invalid variant when it is not set.
    ZeltoResult<QVariant> setting(const QString &name);
    // The stored value, or defaultValue when it is not set: a non-null
    // default is then stored, so the settings table shows what is in use.
    ZeltoResult<QVariant> setting(const QString &name, const QVariant &defaultValue);
    // Stores the setting and publishes it as the system object's property.
    ZeltoStatus putSetting(const QString &name, const QVariant &value);
    ZeltoResult<QVariantMap> settings();
    // A row by id; an empty map when there is none.
    ZeltoResult<QVariantMap> record(const QString &table, int id);
    ZeltoStatus remove(const QString &table, int id);
    // The rowid of the first row matching; -1 when none does.
    ZeltoResult<int> findId(const QString &table, const QString &condition, const QVariantList &binds = QVariantList());
    // The distinct values of a column (decoded), of the rows matching when a condition is given.
    ZeltoResult<QVariantList> distinct(const QString &table, const QString &column,
                                       const QString &condition = QString(), const QVariantList &binds = QVariantList());
    // What this database's SQL says its own way.
    const SqlDialect &sqlDialect() const;
    // A journal entry; userId -1 for the server's own work.
    ZeltoStatus journal(const QString &level, const QString &message, const QString &objectType, int objectId,
                        int userId);
    enum JournalLevel { Debug, Info, Warn, Error };
    // The server's own journal entry: no user.
    ZeltoStatus log(JournalLevel level, const QString &message, const QString &objectType = QString(),
                    int objectId = -1);
    // The status of a driver's error: storage, conflict (constraints,
    // triggers) or busy (a locked file), the text after prefix.
    static ZeltoStatus sqlStatus(const QSqlError &error, const QString &prefix = QString());

    static ZeltoTable queryToTable(QSqlQuery &query);

    // Gives up to count free pages back to the file system (a file with
    // auto_vacuum INCREMENTAL; elsewhere nothing happens). Backups:
    // DatabaseBackup; the journal's clean-up and compaction: JournalCompaction.
    ZeltoStatus releasePages(int count);
    // Writes the whole write-ahead log back and cuts it to nothing, with the
    // log's checkpointer held meanwhile (a checkpoint of its own would make
    // this one give up).
    ZeltoStatus truncateLog();

private slots:
    // The schema steps, run in order by prepareSchema; a failed step leaves
    // its reason in m_stepFailure.
    bool update0();
    bool update1();
    bool update2();
    bool update3(bool fixAfterUpdate2 = false);
    bool update4();
    bool update5();
    bool update6();
    bool update7();
    bool update8();

private:
    friend class TransactionScope;

    Database();

    static Database *ensureInstance();
    // The connection's SQLite handle, for what Qt's driver does not offer;
    // null on another driver.
    sqlite3 *sqliteHandle() const;
    // The statement prepared once on this connection, lent to the caller.
    StatementCache::Lease statement(const QString &text);
    // Binds the stored forms in order to the leased statement; fails at the
    // first value that cannot be encoded.
    ZeltoStatus bind(StatementCache::Lease &lease, const QVariantList &values) const;
    // The leased statement prepared, bound and run: the status of the first step that fails.
    ZeltoStatus exec(StatementCache::Lease &lease, const QVariantList &binds);
    ZeltoStatus applyPragmas();
    // A checkpointer of the log for the open SQLite connection (in WAL mode).
    void attachCheckpointer();
    // Closes db after what holds on to it: its prepared statements and the
    // log's checkpointer (db is then the last connection on the file).
    void closeConnection();
    // The query run; on PostgreSQL inside a transaction within a savepoint of
    // its own, so that a statement that fails leaves the transaction usable
    // (as SQLite does) for the caller to go on or roll back. The prepared
    // query, or plain run as it is.
    bool runQuery(QSqlQuery &query, const QString &plain = QString());
    // A statement without binds run as it is (PostgreSQL prepares no DDL).
    ZeltoStatus runPlain(const QString &text);
    // A new PostgreSQL database: the whole schema at the current version.
    ZeltoStatus createPostgresSchema();
    // A schema step's statements in order; false at the first failure.
    bool runStep(const QStringList &statements);
    // After a failed rollback: close and open the connection again.
    void reopen();
    // Run by update3 on a file coming from version 2: swaps the scheme columns
    // of RNH7 archive rows that disagree with the current data.
    bool fixSchemes();
    // False with the failure kept for prepareSchema.
    bool stepFailed(const ZeltoStatus &status);
    // decodeValue with the date/time column test already done (per column, not per cell).
    static ZeltoResult<QVariant> decodeStored(const QVariant &value, bool dateTimeColumn);

    QSqlDatabase db;
    bool m_postgres = false;       // db is a PostgreSQL connection
    bool m_lockSession = false;    // db is the session that holds the active server's lock
    StatementCache m_statements;   // cleared before db closes (closeConnection)
    // SQLite in WAL mode: checkpoints off the command thread. Reset before db
    // closes, which is then the last connection on the file and writes the log back.
    std::unique_ptr<WalCheckpointer> m_checkpointer;
    int m_version = -1;
    int m_transactionDepth = 0;
    ZeltoStatus m_stepFailure;   // of the schema step that failed last
    ZeltoClock *m_clock;
};
