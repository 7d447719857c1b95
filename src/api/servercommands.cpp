#include "servercommands.h"

#include "analizer.h"
#include "commandparams.h"
#include "commandresult.h"
#include "database.h"
#include "qtservicecontroller.h"
#include "zeltosystem.h"

#include <QCoreApplication>

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

QVariant getVersion(const QVariantList &)
{
    return QStringLiteral("1.2.7");
}

QVariant getDbVersion(const QVariantList &)
{
    return Database::version();
}

QVariant getApiVersion(const QVariantList &)
{
    return 2;
}

QVariant getSettings(const QVariantList &)
{
    return Database::loadSettings();
}

QVariant getSetting(const QVariantList &params)
{
    const QString name = CommandParams(QStringLiteral("getSetting"), params).text(0);
    ZeltoSystem::instance()->clearError();
    const QVariant value = Database::getSetting(name);
    if (!value.isValid() && ZeltoSystem::instance()->lastError().isEmpty())
        ZeltoSystem::instance()->error(tr("Настройка %1 не задана").arg(name), true);
    return value;
}

QVariant setSetting(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setSetting"), params);
    const QString name = p.text(0);
    if (name.isEmpty()) {
        ZeltoSystem::instance()->error(tr("Не задано имя настройки"), true);
        return QVariant();
    }
    if (!Analizer::checkTimeoutSetting(name, p.value(1)))
        return QVariant();
    return CommandResult::done(Database::setSetting(name, p.value(1)));
}

QVariant getJournal(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getJournal"), params);
    return CommandResult::table(Database::selectTable(
        QStringLiteral("SELECT ctime, login AS user     , groups.name AS group_name     , nodes.name AS node_name     , "
                       "level, message FROM journal LEFT OUTER JOIN users ON journal.user_id = users.id LEFT OUTER "
                       "JOIN groups ON journal.group_id = groups.id LEFT OUTER JOIN nodes ON journal.node_id = "
                       "nodes.id WHERE ctime BETWEEN ? AND ? ORDER BY ctime"),
        {p.dateTime(0), p.dateTime(1)}));
}

QVariant clearJournal(const QVariantList &)
{
    return CommandResult::done(Database::execute(QStringLiteral("DELETE FROM journal")));
}

QVariant backupDatabase(const QVariantList &)
{
    // The scheduled backups keep their own timing: only the setting changes.
    if (!Database::backup())
        return QVariant();
    return CommandResult::done(Database::setSetting(QStringLiteral("lastBackup"), QDateTime::currentDateTime()));
}

QVariant restartServer(const QVariantList &)
{
    QtServiceController monitor(QString::fromLatin1(kMonitorService));
    if (!monitor.sendCommand(kRestartCode)) {
        ZeltoSystem::instance()->error(tr("Ошибка перезапуска сервера данных"), true);
        return QVariant();
    }
    Database::logInfo(tr("Перезапуск сервера"));
    return true;
}

}
