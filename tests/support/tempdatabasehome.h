#pragma once

#include "commandcontext.h"
#include "database.h"
#include "pgtestcluster.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"

#include <QTemporaryDir>

// The database the tests work on: the one the last Database::init opened,
// null before. The single place tests read the process's database;
// everything else takes it from here.
inline Database *openDatabase() { return Database::instance(); }
inline Database &testDatabase() { return *openDatabase(); }

// ORVEX_TEST_DRIVER=QPSQL: the tests run with their data in PostgreSQL (CTest
// runs the storage tests once more so, with the cluster of its fixture "pg").
inline bool testsOnPostgres() { return qgetenv("ORVEX_TEST_DRIVER") == "QPSQL"; }

// A temporary home folder with a fresh database in it (on PostgreSQL a new
// database of the cluster, named by the home's INI file), for one test case;
// the database is closed and the folder removed when it goes.
class TempDatabaseHome
{
public:
    ~TempDatabaseHome() { Database::destroy(); }

    // The home the server's, its INI file naming a new database of the cluster on PostgreSQL; nothing opened yet.
    ZeltoStatus prepare()
    {
        static int homes = 0;   // the cluster's names count per object: one of its own per home
        if (!m_dir.isValid())
            return ZeltoStatus::failed(QStringLiteral("no temporary folder"));
        ZeltoEnvironment::set("ORVEX_HOME", m_dir.path());
        ZeltoSystem::instance()->setSettingsPath(QString());
        if (testsOnPostgres()) {
            PgTestCluster cluster;
            const QString name = cluster.load() ? cluster.createDatabase(QStringLiteral("unit%1").arg(++homes)) : QString();
            if (name.isEmpty())
                return ZeltoStatus::failed(QStringLiteral("no PostgreSQL database for the test: ") + cluster.why());
            ZeltoSystem::instance()->setSettingsPath(cluster.writeIni(m_dir, name));
        }
        return ZeltoStatus();
    }

    ZeltoStatus open()
    {
        const ZeltoStatus prepared = prepare();
        return prepared.ok() ? Database::init() : prepared;
    }

    Database &db() const { return testDatabase(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// What the tests work as: the server's own context on the open database.
inline CommandContext serverContext() { return CommandContext::server(&testDatabase()); }
