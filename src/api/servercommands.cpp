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
QVariant getVersion(CommandParams &)
{
    return QStringLiteral(ORVEX_VERSION);
}

// getDbVersion() -> int, the database schema version
QVariant getDbVersion(CommandParams &)
{
    return Database::version();
}

// getApiVersion() -> int
QVariant getApiVersion(CommandParams &)
{
    return 2;
}

// getSettings() -> map of every setting
QVariant getSettings(CommandParams &)
{
    return CommandResult::of(zeltoCapture([] { return Database::loadSettings(); }));
}

// getSetting(name: text) -> value
QVariant getSetting(CommandParams &p)
{
    const QString name = p.text(0);
    ZeltoSystem::instance()->clearError();
    const QVariant value = Database::getSetting(name);
    if (!value.isValid() && ZeltoSystem::instance()->lastError().isEmpty())
        ZeltoSystem::instance()->fail(ZeltoStatus::notFound(tr("Настройка %1 не задана").arg(name)));
    return value;
}

// setSetting(name: text, value: any) -> true
QVariant setSetting(CommandParams &p)
{
    const QString name = p.text(0);
    if (name.isEmpty()) {
        ZeltoSystem::instance()->fail(ZeltoStatus::invalid(tr("Не задано имя настройки")));
        return QVariant();
    }
    if (!Analizer::checkTimeoutSetting(name, p.value(1)) || !TaskManager::checkSetting(name, p.value(1))
        || !PortSetting::check(name, p.value(1)))
        return QVariant();
    return CommandResult::done(Database::setSetting(name, p.value(1)));
}

// getJournal(from: datetime|null, to: datetime|null) -> table
QVariant getJournal(CommandParams &p)
{
    const QDateTime from = p.dateTime(0);
    const QDateTime to = p.dateTime(1);
    if (!p.ok())
        return QVariant();
    if (!p.context().database())
        return CommandResult::failure(CommandContext::noDatabase());
    return CommandResult::of(p.context().database()->rows(
        QStringLiteral("SELECT ctime, login AS user     , groups.name AS group_name     , nodes.name AS node_name     , "
                       "level, message FROM journal LEFT OUTER JOIN users ON journal.user_id = users.id LEFT OUTER "
                       "JOIN groups ON journal.group_id = groups.id LEFT OUTER JOIN nodes ON journal.node_id = "
                       "nodes.id WHERE ctime BETWEEN ? AND ? ORDER BY ctime, ")
            + Database::dialect().rowOrder(QStringLiteral("journal")),
        {from, to}));
}

// clearJournal() -> true
QVariant clearJournal(CommandParams &p)
{
    if (!p.context().database())
        return CommandResult::failure(CommandContext::noDatabase());
    return CommandResult::done(zeltoReport(p.context().database()->run(QStringLiteral("DELETE FROM journal"))));
}

// backupDatabase() -> true once the copy is checked and has its name
QVariant backupDatabase(CommandParams &)
{
    DatabaseBackup *backup = DatabaseBackup::start();
    if (!backup)
        return QVariant();
    // The copy runs on its own thread: the client is answered when it ends,
    // and the other clients are served meanwhile.
    const int reply = ZeltoServer::global()->deferReply();
    auto outcome = std::make_shared<ZeltoResult<QVariant>>(QVariant());
    QObject::connect(backup, &DatabaseBackup::finished, ZeltoServer::global(), [reply, outcome](bool ok, const QString &error) {
        // The scheduled backups keep their own timing: only the setting changes.
        if (!ok)
            *outcome = ZeltoStatus::storage(error);
        else if (!Database::setSetting(QStringLiteral("lastBackup"), Database::clock()->now()))
            *outcome = ZeltoSystem::instance()->lastStatus();
        else
            *outcome = QVariant(true);
        if (reply != 0)
            ZeltoServer::global()->finishReply(reply, *outcome);
    });
    if (reply != 0)
        return true;   // not sent: finishReply answers
    // Not a client's call: there is nobody to answer later.
    backup->waitForFinished();
    if (!outcome->ok())
        ZeltoSystem::instance()->fail(outcome->status());
    return outcome->ok() ? outcome->value() : QVariant();
}

// restartServer() -> true once the monitor service has the request
QVariant restartServer(CommandParams &p)
{
    QtServiceController monitor(QString::fromLatin1(kMonitorService));
    if (!monitor.sendCommand(kRestartCode)) {
        ZeltoSystem::instance()->fail(ZeltoStatus::unavailable(tr("Ошибка перезапуска сервера данных")));
        return QVariant();
    }
    p.context().journal(QStringLiteral("INFO"), tr("Перезапуск сервера"));
    return true;
}

}
