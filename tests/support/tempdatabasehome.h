#pragma once

#include "commandcontext.h"
#include "database.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"

#include <QTemporaryDir>

// The database the tests work on: the one the last Database::init opened,
// null before. The single place tests read the process's database;
// everything else takes it from here.
inline Database *openDatabase()
{
    return Database::instance();
}

inline Database &testDatabase()
{
    return *openDatabase();
}

// A temporary home folder with a fresh database in it, for one test case;
// the database is closed and the folder removed when it goes.
class TempDatabaseHome
{
public:
    ~TempDatabaseHome() { Database::destroy(); }

    ZeltoStatus open()
    {
        if (!m_dir.isValid())
            return ZeltoStatus::failed(QStringLiteral("no temporary folder"));
        ZeltoEnvironment::set("ORVEX_HOME", m_dir.path());
        ZeltoSystem::instance()->setSettingsPath(QString());
        return Database::init();
    }

    Database &db() const { return testDatabase(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// What the tests work as: the server's own context on the open database.
inline CommandContext serverContext()
{
    return CommandContext::server(&testDatabase());
}
