#include "servercommands.h"

#include "analizer.h"
#include "commandparams.h"
#include "commandresult.h"
#include "database.h"
#include "databasebackup.h"
#include "portsetting.h"
#include "qtservicecontroller.h"
#include "taskmanager.h"
#include "zeltoclock.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QPointer>

#include <memory>
#include <utility>

namespace ServerCommands {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ServerCommands", text);
}

// The companion watchdog restarts the data server when it gets this code.
const char *const kMonitorService = "Orvex Server Monitor";
const int kRestartCode = 2;

} // namespace

// getVersion() -> text, the program's version
CommandReply getVersion(CommandParams &)
{
    return QVariant(QStringLiteral(ORVEX_VERSION));
}

// getDbVersion() -> int, the database schema version
CommandReply getDbVersion(CommandParams &p)
{
    // -1 where no database is open, as before the schema check.
    return QVariant(p.context().database() ? p.context().database()->schemaVersion() : -1);
}

// getApiVersion() -> int
CommandReply getApiVersion(CommandParams &)
{
    return QVariant(2);
}

// getSettings() -> map of every setting
CommandReply getSettings(CommandParams &p)
{
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    return CommandResult::of(p.context().database()->settings());
}

// getSetting(name: text) -> value
CommandReply getSetting(CommandParams &p)
{
    const QString name = p.text(0);
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    const ZeltoResult<QVariant> value = p.context().database()->setting(name);
    if (!value.ok())
        return CommandReply(value.status());
    if (!value.value().isValid())
        return CommandReply(ZeltoStatus::notFound(tr("Настройка %1 не задана").arg(name)));
    return value.value();
}

// setSetting(name: text, value: any) -> true
CommandReply setSetting(CommandParams &p)
{
    const QString name = p.text(0);
    if (name.isEmpty())
        return CommandReply(ZeltoStatus::invalid(tr("Не задано имя настройки")));
    ZeltoStatus usable = TaskManager::checkSetting(name, p.value(1));
    if (usable.ok())
        usable = Analizer::checkTimeoutSetting(name, p.value(1));
    if (usable.ok())
        usable = PortSetting::check(name, p.value(1));
    if (!usable.ok())
        return usable;
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    return CommandResult::done(p.context().database()->putSetting(name, p.value(1)));
}

// getJournal(from: datetime|null, to: datetime|null) -> table
CommandReply getJournal(CommandParams &p)
{
    const QDateTime from = p.dateTime(0);
    const QDateTime to = p.dateTime(1);
    if (!p.ok())
        return p.refusal();
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    return CommandResult::of(p.context().database()->rows(
        QStringLiteral("SELECT ctime, login AS user     , groups.name AS group_name     , nodes.name AS node_name     , "
                       "level, message FROM journal LEFT OUTER JOIN users ON journal.user_id = users.id LEFT OUTER "
                       "JOIN groups ON journal.group_id = groups.id LEFT OUTER JOIN nodes ON journal.node_id = "
                       "nodes.id WHERE ctime BETWEEN ? AND ? ORDER BY ctime, ")
            + p.context().database()->sqlDialect().rowOrder(QStringLiteral("journal")),
        {from, to}));
}

// clearJournal() -> true
CommandReply clearJournal(CommandParams &p)
{
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    return CommandResult::done(p.context().database()->run(QStringLiteral("DELETE FROM journal")));
}

// backupDatabase() -> true once the copy is checked and has its name
CommandReply backupDatabase(CommandParams &p)
{
    if (!p.context().database())
        return CommandReply(CommandContext::noDatabase());
    // The copy may end after the database is closed.
    const QPointer<Database> database(p.context().database());
    const ZeltoResult<DatabaseBackup *> started = DatabaseBackup::start(*database);
    if (!started.ok())
        return started.status();
    DatabaseBackup *backup = started.value();
    // The copy runs on its own thread: the client is answered when it ends,
    // and the other clients are served meanwhile.
    const int reply = ZeltoServer::global()->deferReply();
    auto outcome = std::make_shared<ZeltoResult<QVariant>>(QVariant());
    QObject::connect(backup, &DatabaseBackup::finished, ZeltoServer::global(),
                     [reply, outcome, database](bool ok, const QString &error) {
        // The scheduled backups keep their own timing: only the setting changes.
        ZeltoStatus noted = ok ? ZeltoStatus() : ZeltoStatus::storage(error);
        if (noted.ok())
            noted = database ? database->putSetting(QStringLiteral("lastBackup"), database->stampClock()->now())
                             : CommandContext::noDatabase();
        *outcome = noted.ok() ? ZeltoResult<QVariant>(QVariant(true)) : ZeltoResult<QVariant>(noted);
        if (reply != 0)
            ZeltoServer::global()->finishReply(reply, *outcome);
    });
    if (reply != 0)
        return QVariant(true);   // not sent: finishReply answers
    // Not a client's call: there is nobody to answer later.
    backup->waitForFinished();
    return *outcome;
}

// restartServer() -> true once the monitor service has the request
CommandReply restartServer(CommandParams &p)
{
    QtServiceController monitor(QString::fromLatin1(kMonitorService));
    if (!monitor.sendCommand(kRestartCode).ok())
        return ZeltoStatus::unavailable(tr("Ошибка перезапуска сервера данных"));
    p.context().journal(QStringLiteral("INFO"), tr("Перезапуск сервера"));
    return QVariant(true);
}

}
