#pragma once

#include "commandcontext.h"
#include "database.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"

#include <QTemporaryDir>

// A temporary home folder with a fresh database in it, for one test case;
// the database is closed and the folder removed when it goes.
class TempDatabaseHome
{
public:
    ~TempDatabaseHome() { Database::destroy(); }

    bool open()
    {
        if (!m_dir.isValid())
            return false;
        ZeltoEnvironment::set("ORVEX_HOME", m_dir.path());
        ZeltoSystem::instance()->setSettingsPath(QString());
        const bool ok = Database::init().ok();
        ZeltoSystem::instance()->clearError();
        return ok;
    }

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// What the tests work as: the server's own context on the open database.
inline CommandContext serverContext()
{
    return CommandContext::server(Database::instance());
}
