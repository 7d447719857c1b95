#include "database.h"

#include "databasebackup.h"
#include "databasesettings.h"
#include "postgresschema.h"
#include "schema.h"
#include "transactionscope.h"
#include "walcheckpointer.h"
#include "zelto.h"
#include "zeltoclock.h"
#include "zeltoenvironment.h"
#include "zeltostream.h"
#include "zeltosystem.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QVector>

namespace {

Database *s_instance = nullptr;

// The highest step there is; a file above it comes from a newer release.
const int SchemaVersion = 8;

QString defaultConnectionName()
{
    return QLatin1String(QSqlDatabase::defaultConnection);
}

// The three columns that tell how an RNH7 device's systems are wired.
struct SchemeTriple
{
    uint db = 0;
    uint s1 = 0;
    uint s2 = 0;

    bool operator!=(const SchemeTriple &other) const
    {
        return db != other.db || s1 != other.s1 || s2 != other.s2;
    }
};

const QString SchemeDb = QStringLiteral("DB");
const QString SchemeS1 = QStringLiteral("S1_scheme");
const QString SchemeS2 = QStringLiteral("S2_scheme");

SchemeTriple schemeOf(const ZeltoTable &table, int row)
{
    SchemeTriple triple;
    triple.db = table.value(row, SchemeDb).toUInt();
    triple.s1 = table.value(row, SchemeS1).toUInt();
    triple.s2 = table.value(row, SchemeS2).toUInt();
    return triple;
}

bool holdsTable(const QVariant &value)
{
    return value.userType() == qMetaTypeId<ZeltoTable>();
}

} // namespace

Database::Database() : m_clock(ZeltoClock::system()) {}

Database::~Database()
{
    if (s_instance == this)
        s_instance = nullptr;
    closeConnection();
    db = QSqlDatabase();
}

Database *Database::ensureInstance()
{
    if (!s_instance)
        s_instance = new Database;
    return s_instance;
}

StatementCache::Lease Database::statement(const QString &text)
{
    return m_statements.acquire(db, sqlDialect(), text);
}

void Database::setStampClock(ZeltoClock *clock)
{
    m_clock = clock ? clock : ZeltoClock::system();
}

Database *Database::instance()
{
    return s_instance;
}

const SqlDialect &Database::sqlDialect() const
{
    static const SqlDialect sqlite(SqlDialect::SQLite);
    static const SqlDialect postgres(SqlDialect::PostgreSQL);
    return m_postgres ? postgres : sqlite;
}

int Database::supportedVersion()
{
    return SchemaVersion;
}

QString Database::fileName()
{
    const QString defaultName = Zelto::moduleDir() + QStringLiteral("/telvan.db");
    const QString settingsPath = ZeltoSystem::instance()->settingsPath();
    if (settingsPath.isEmpty())
        return defaultName;
    QSettings ini(settingsPath, QSettings::IniFormat);
    // Escaped values read the same; a path typed in plain UTF-8 reads right.
    ini.setIniCodec("UTF-8");
    return ini.value(QStringLiteral("Database/databaseName"), defaultName).toString();
}

QString Database::filePath() const
{
    return db.isOpen() && !m_postgres ? db.databaseName() : QString();
}

ZeltoStatus Database::init()
{
    // ORVEX_STREAM_VERSION chooses the stored format this server writes
    // (an older one, before going back to an older server).
    const int streamVersion = ZeltoEnvironment::streamVersion();
    if (streamVersion != 0 && !ZeltoStream::setWriteVersion(streamVersion))
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                     tr("Неверное значение ORVEX_STREAM_VERSION: %1").arg(streamVersion));
    ensureInstance();
    const ZeltoStatus opened = open();
    if (!opened.ok())
        return opened;
    return prepareSchema();
}

ZeltoStatus Database::open()
{
    Database *database = ensureInstance();

    const DatabaseSettings settings = DatabaseSettings::fromIni(ZeltoSystem::instance()->settingsPath());
    if (!settings.isValid())
        return ZeltoStatus::failed(settings.error());
    if (database->db.isValid()) {
        // Opened before: let go of the old connection before replacing it.
        database->closeConnection();
        database->db = QSqlDatabase();
        QSqlDatabase::removeDatabase(defaultConnectionName());
    }
    database->m_postgres = settings.isPostgreSQL();
    if (database->m_postgres) {
        // The active server's lock is held on this connection (ActiveLock):
        // its statements run in the session that holds the lock, and end with it.
        database->m_lockSession = QSqlDatabase::contains(defaultConnectionName())
            && QSqlDatabase::database(defaultConnectionName(), false).isOpen();
        database->db = database->m_lockSession ? QSqlDatabase::database(defaultConnectionName(), false)
                                               : settings.open(defaultConnectionName());
        if (!database->db.isOpen())
            return ZeltoStatus::storage(
                tr("Нет соединения с БД PostgreSQL %1: %2").arg(settings.describe(), database->db.lastError().text()));
        return ZeltoStatus();
    }
    const QString fileName = Database::fileName();

    // SQLite takes a non-empty file shorter than one page for an empty
    // database and writes over it; only a file with its header is used.
    QFile file(fileName);
    if (file.size() > 0) {
        static const QByteArray header("SQLite format 3", 16);   // with its closing zero byte
        if (!file.open(QIODevice::ReadOnly) || file.read(header.size()) != header)
            return ZeltoStatus::storage(
                tr("Файл %1 не является базой данных SQLite").arg(QDir::toNativeSeparators(fileName)));
    }

    database->db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    database->db.setDatabaseName(fileName);
    if (!database->db.open())
        return ZeltoStatus::failed(database->db.lastError().text());
    return ZeltoStatus();
}

void Database::destroy()
{
    // A copy being made reads the file on a connection of its own: stop it first.
    DatabaseBackup::abort();
    delete s_instance;
    s_instance = nullptr;
    QSqlDatabase::removeDatabase(defaultConnectionName());
}

ZeltoStatus Database::applyPragmas()
{
    // PostgreSQL has none of them: its foreign keys are always on, its log and space its own.
    if (m_postgres)
        return ZeltoStatus();
    QSqlQuery query(db);
    // Before the write-ahead log, which would fix the mode of a new file;
    // only a file without tables takes it (older files switch over when
    // compacted: JournalCompaction).
    if (!query.exec(QLatin1String(Schema::PragmaAutoVacuum)))
        return ZeltoStatus::failed(query.lastError().text());
    if (!query.exec(QLatin1String(Schema::PragmaCacheSize)) || !query.exec(QLatin1String(Schema::PragmaForeignKeys))
        || !query.exec(QLatin1String(Schema::PragmaJournalSizeLimit)) || !query.exec(QLatin1String(Schema::PragmaSecureDelete)))
        return ZeltoStatus::failed(query.lastError().text());
    // Some file systems (network shares) cannot hold a write-ahead log: the
    // server still works, but a backup then holds up writers while it copies.
    if (!query.exec(QLatin1String(Schema::PragmaJournalMode)) || !query.next()
        || query.value(0).toString() != QLatin1String("wal")) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                     tr("БД не переведена в режим журнала WAL: на время резервного копирования "
                                        "запись в БД будет ждать"));
        return ZeltoStatus();
    }
    attachCheckpointer();
    return ZeltoStatus();
}

void Database::attachCheckpointer()
{
    // The old one first: going, it takes the connection's hook with it.
    m_checkpointer.reset();
    m_checkpointer.reset(new WalCheckpointer(db.databaseName(), sqliteHandle()));
}

QString Database::connectionName()
{
    return defaultConnectionName();
}

void Database::closeConnection()
{
    m_statements.clear();
    m_checkpointer.reset();
    db.close();
}

void Database::reopen()
{
    closeConnection();
    // A new session would not hold the active server's lock: the closed one
    // ends the server's active role at the lock's next check, and the lock's
    // next holder opens a session of its own.
    if (m_lockSession)
        return;
    if (!db.open()) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, db.lastError().databaseText());
        return;
    }
    // A new SQLite connection starts without foreign keys: restore them.
    const ZeltoStatus restored = applyPragmas();
    if (!restored.ok())
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, restored.message());
}

bool Database::stepFailed(const ZeltoStatus &status)
{
    m_stepFailure = status.ok() ? ZeltoStatus::failed(QString()) : status;
    return false;
}

bool Database::runStep(const QStringList &statements)
{
    for (const QString &statement : statements) {
        const ZeltoStatus done = run(statement);
        if (!done.ok())
            return stepFailed(done);
    }
    return true;
}

ZeltoStatus Database::prepareSchema()
{
    Database *database = s_instance;
    if (!database || !database->db.isOpen())
        return ZeltoStatus::storage(tr("База данных не открыта"));
    const ZeltoStatus pragmas = database->applyPragmas();
    if (!pragmas.ok())
        return pragmas;

    const SqlDialect &sql = database->sqlDialect();
    {
        QSqlQuery query(database->db);
        if (!query.exec(sql.countTables()) || !query.next())
            return ZeltoStatus::failed(query.lastError().text());
        // A brand-new file keeps -1 and so gets every step from update0 on.
        database->m_version = -1;
        if (query.value(0).toInt() != 0) {
            if (!query.exec(sql.readVersion()) || !query.next())
                return ZeltoStatus::failed(query.lastError().text());
            database->m_version = query.value(0).toInt();
        }
    }

    TransactionScope scope(*database, QStringLiteral("prepareSchema"));
    if (!scope.isActive())
        return scope.status();

    // A new PostgreSQL database starts at this release's version; the steps
    // before it are for SQLite files of earlier releases.
    if (database->m_postgres && database->m_version < 0) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Обновление БД до версии %1").arg(SchemaVersion));
        const ZeltoStatus created = database->createPostgresSchema();
        if (!created.ok())
            return created;
        database->m_version = SchemaVersion;
    }

    const int startVersion = database->m_version;
    const QMetaObject *meta = database->metaObject();
    int version = startVersion;
    for (;;) {
        const QByteArray signature = "update" + QByteArray::number(version + 1) + "()";
        const int index = meta->indexOfMethod(signature.constData());
        if (index < 0)
            break;
        ++version;
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Обновление БД до версии %1").arg(version));
        bool done = false;
        database->m_stepFailure = ZeltoStatus();
        if (version == 3 && startVersion == 2) {
            done = database->update3(true);
        } else if (!meta->method(index).invoke(database, Qt::AutoConnection, Q_RETURN_ARG(bool, done))) {
            return ZeltoStatus::failed(tr("Ошибка вызова функции обновления схемы БД"));
        }
        if (!done)   // the scope rolls everything back
            return database->m_stepFailure.ok() ? ZeltoStatus::failed(QString()) : database->m_stepFailure;
    }

    {
        QSqlQuery query(database->db);
        if (!query.exec(sql.writeVersion(version)))
            return ZeltoStatus::failed(query.lastError().text());
    }
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok())
        return committed;
    database->m_version = version;

    if (version > SchemaVersion) {
        // Still usable as far as this release knows it, but worth a word.
        const QString text = tr("Версия схемы БД %1 новее поддерживаемой версии %2").arg(version).arg(SchemaVersion);
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, text);
        return ZeltoStatus(ZeltoStatus::Ok, text);
    }
    return ZeltoStatus();
}

ZeltoStatus Database::createPostgresSchema()
{
    for (const QString &statement : PostgresSchema::statements(SchemaVersion)) {
        const ZeltoStatus done = runPlain(statement);
        if (!done.ok())
            return done;
    }
    return ZeltoStatus();
}

bool Database::update0()
{
    return runStep(Schema::initialSchema());
}

bool Database::update1()
{
    return runStep(Schema::journalDataRebuild() + Schema::nodeColumnsOfStep1());
}

bool Database::update2()
{
    return true;
}

bool Database::update3(bool fixAfterUpdate2)
{
    return fixAfterUpdate2 ? fixSchemes() : true;
}

bool Database::update4()
{
    return runStep({QLatin1String(Schema::AddTaskNextExec)});
}

bool Database::update5()
{
    return runStep(Schema::nodeParamColumns(6, 15));
}

bool Database::update6()
{
    return runStep(Schema::nodeParamColumns(16, 16));
}

bool Database::update7()
{
    return runStep(Schema::nodeParamColumns(17, 24));
}

bool Database::update8()
{
    return runStep({QLatin1String(Schema::IndexTasksByNode), QLatin1String(Schema::IndexCheckLogByNodeTime)});
}

bool Database::fixSchemes()
{
    QVector<int> nodeIds;
    {
        QSqlQuery query(db);
        if (!query.exec(QLatin1String(Schema::SelectRnh7Nodes)))
            return stepFailed(ZeltoStatus::failed(query.lastError().databaseText()));
        while (query.next())
            nodeIds << query.value(0).toInt();
    }

    const QString nodes = QStringLiteral("nodes");
    const QStringList archives = {QStringLiteral("month_data"), QStringLiteral("month_totals"),
                                  QStringLiteral("day_data"), QStringLiteral("hour_data")};
    for (int nodeId : qAsConst(nodeIds)) {
        const ZeltoResult<QVariant> readCurrent = data(nodes, nodeId, QStringLiteral("current_data"));
        if (!readCurrent.ok())
            return stepFailed(readCurrent.status());
        const QVariant &current = readCurrent.value();
        if (current.isNull() || !holdsTable(current))
            continue;
        const ZeltoTable currentTable = current.value<ZeltoTable>();
        if (currentTable.rowCount() == 0)
            continue;
        const SchemeTriple reference = schemeOf(currentTable, currentTable.rowCount() - 1);

        for (const QString &archive : archives) {
            const ZeltoResult<QVariant> readStored = data(nodes, nodeId, archive);
            if (!readStored.ok())
                return stepFailed(readStored.status());
            const QVariant &stored = readStored.value();
            // Only tables have scheme columns; anything else is left alone.
            if (stored.isNull() || !holdsTable(stored))
                continue;
            ZeltoTable table = stored.value<ZeltoTable>();
            for (int row = 0; row < table.rowCount(); ++row) {
                const SchemeTriple triple = schemeOf(table, row);
                if (triple != reference) {
                    table.setValue(row, SchemeS1, QVariant(triple.s2));
                    table.setValue(row, SchemeS2, QVariant(triple.s1));
                }
            }
            const ZeltoStatus written = write(nodes, nodeId, {{archive, QVariant::fromValue(table)}});
            if (!written.ok())
                return stepFailed(written);
        }
    }
    return true;
}
