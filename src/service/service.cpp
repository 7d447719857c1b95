#include "service.h"

#include "activelock.h"
#include "apicommand.h"
#include "consolesite.h"
#include "database.h"
#include "databasebackup.h"
#include "datamonitor.h"
#include "journalcompaction.h"
#include "metricspage.h"
#include "opcserver.h"
#include "scheduler.h"
#include "serverrole.h"
#include "taskmanager.h"
#include "user.h"
#include "xmlrpcserver.h"
#include "zeltoaddresscap.h"
#include "zeltobusyguard.h"
#include "zeltoclock.h"
#include "zelto.h"
#include "zeltoenvironment.h"
#include "zeltohostnames.h"
#include "zeltohttpserver.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltotimer.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTranslator>

namespace {

const int kMaintenanceIntervalMs = 600000;

quint16 toPort(const QVariant &value)
{
    return quint16(value.toUInt());
}

// ORVEX_MONITOR_TICK_MS: how often the data monitor looks for nodes due
// (tests shorten it); 10 s otherwise.
int monitorTickMs()
{
    return ZeltoEnvironment::monitorTickMs(DataMonitor::kDefaultTickMs);
}

} // namespace

const char Service::Name[] = "Orvex Data Server";

QString Service::settingsFilePath()
{
    const QString configured = ZeltoEnvironment::configFile();
    if (!configured.isEmpty())
        return configured;
    return Zelto::moduleDir() + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).baseName()
        + QStringLiteral(".ini");
}

Service::Service(int argc, char **argv)
    : QtService<QCoreApplication>(argc, argv, QString::fromLatin1(Name)),
      m_clock(ZeltoClock::system()),
      m_maintenance(new ZeltoTimer(m_clock, this))
{
    connect(m_maintenance, &ZeltoTimer::timeout, this, &Service::maintain);
    setServiceDescription(tr("Сервер данных ПУ"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEX_VERSION));
    setStartupType(QtServiceController::AutoStartup);
    connect(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged, this, &Service::onPropertyChanged,
            Qt::QueuedConnection);
}

void Service::start()
{
    // The listeners are made here, not in the constructor: the HTTP listener reads the
    // machine's names through Qt's resolver, which needs the application object.
    // Their own failures (a port that cannot be opened) go to the service log.
    connect(ZeltoServer::global(), &ZeltoServer::errorMessage, this, &Service::onErrorMessage, Qt::QueuedConnection);
    connect(ZeltoHttpServer::global(), &ZeltoHttpServer::errorMessage, this, &Service::onErrorMessage,
            Qt::QueuedConnection);
    installTranslators();
    ZeltoSystem::instance()->setSettingsPath(settingsFilePath());
    const DatabaseSettings settings = DatabaseSettings::fromIni(ZeltoSystem::instance()->settingsPath());
    if (!settings.isValid()) {
        logMessage(settings.error(), QtServiceBase::Error);
        return;
    }
    m_role = new ServerRole(
        settings, [this]() { return startActive(); }, [this]() { stopActive(); }, this);
    m_role->begin(ActiveLock::DefaultRetryMs, ActiveLock::DefaultCheckMs);
}

bool Service::startActive()
{
    const ZeltoStatus opened = Database::init();
    if (!opened.ok()) {
        logMessage(opened.message(), QtServiceBase::Error);
        return false;
    }
    // The service creates what works on the database and hands it this one.
    m_database = Database::instance();
    m_database->setStampClock(m_clock);
    // A copy the last run did not finish (killed, power cut) leaves its
    // temporary file; it is no use to anyone.
    DatabaseBackup::removeLeftovers(*m_database);

    if (!User::instance())
        new User;
    const QSettings ini(ZeltoSystem::instance()->settingsPath(), QSettings::IniFormat);
    User::setLoginRequired(ini.value(QStringLiteral("Server/requireLogin"), false).toBool());
    m_polling = new TaskManager(m_database, TaskManager::TaskFactory(), m_clock, this);
    m_monitor = new DataMonitor(m_database, monitorTickMs(), m_clock, m_polling, User::instance(), this);
    TaskManager *polling = m_polling;
    m_scheduler = new Scheduler(
        m_database, [polling](int taskId) { polling->startTask(taskId, false); }, m_clock, this);
    ApiCommand::setServices(m_database, m_polling, m_monitor);
    m_opcServer = new OPCServer(m_database, m_monitor, this);
    const QHostAddress address = listenAddress();
    m_xmlRpc = new XmlRpcServer(m_database, address, this, m_clock);

    seedSettings();
    openListeners(address);
    loadMaintenanceState();

    m_maintenance->start(kMaintenanceIntervalMs);
    // The first check runs as soon as the event loop turns, not in ten minutes.
    QMetaObject::invokeMethod(this, &Service::maintain, Qt::QueuedConnection);
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Сервер запущен: версия БД %1, команд %2")
                                                           .arg(m_database->schemaVersion())
                                                           .arg(ApiCommand::table().size()));
    return true;
}

void Service::stop()
{
    delete m_role;   // stops the active server's work
    m_role = nullptr;
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Сервер остановлен"));
}

void Service::stopActive()
{
    m_maintenance->stop();
    JournalCompaction::abort();
    for (ListenerSwitch &listener : m_portListeners)
        listener.close();
    m_portListeners.clear();
    delete m_opcServer;   // stops its gateway
    m_opcServer = nullptr;
    delete m_xmlRpc;
    m_xmlRpc = nullptr;
    ZeltoServer::global()->close();
    ZeltoHttpServer::global()->close();
    ApiCommand::setServices(nullptr, nullptr, nullptr);
    delete m_scheduler;
    m_scheduler = nullptr;
    delete m_monitor;
    m_monitor = nullptr;
    delete m_polling;
    m_polling = nullptr;
    delete User::instance();
    // A backup the database stops on its way out still notes its end (and a
    // finished copy its time) through m_database.
    Database::destroy();
    m_database = nullptr;
}

void Service::installTranslators()
{
    const QString folder = Zelto::dataDir() + QStringLiteral("/translations/");
    for (const char *name : {"qt_ru", "qtbase_ru"}) {
        auto *translator = new QTranslator(this);
        if (translator->load(folder + QLatin1String(name))) {
            QCoreApplication::installTranslator(translator);
            m_translators.append(translator);
        } else {
            delete translator;
        }
    }
}

QVariant Service::setting(const QString &name, const QVariant &defaultValue) const
{
    // A setting that cannot be read is taken as its default: the server starts anyway.
    return m_database->setting(name, defaultValue).valueOr(defaultValue);
}

void Service::seedSettings()
{
    // Reading with a default writes the key when it is missing; an existing
    // value is never overwritten.
    setting(QStringLiteral("nodeSystemTypes"), QStringList{tr("теплоноситель"), tr("отопление"), tr("ГВС")});
    setting(QStringLiteral("nodeParamNames"), QStringList());
    setting(QStringLiteral("currentDataCount"), 10);
    setting(QStringLiteral("calcTailDays"), false);
    setting(QStringLiteral("daysForCalcTailDays"), 3);
    setting(QStringLiteral("checkDateReset"), true);
    setting(QStringLiteral("checkTimeDeviation"), false);
    setting(QStringLiteral("maxTimeDeviation"), 30);
}

QHostAddress Service::listenAddress()
{
    const QSettings ini(ZeltoSystem::instance()->settingsPath(), QSettings::IniFormat);
    const QString addressText = ini.value(QStringLiteral("Server/address")).toString();
    QHostAddress address(QHostAddress::Any);
    if (!addressText.isEmpty() && !address.setAddress(addressText)) {
        logMessage(tr("Неверный адрес Server/address: %1, используются все адреса").arg(addressText),
                   QtServiceBase::Warning);
        address = QHostAddress::Any;
    }
    return address;
}

void Service::openListeners(const QHostAddress &address)
{
    m_address = address;
    const QSettings ini(ZeltoSystem::instance()->settingsPath(), QSettings::IniFormat);
    ZeltoServer::global()->listenTcp(toPort(ini.value(QStringLiteral("Server/port"), 5412)), address);

    for (const char *name : {"requestBufferLimit", "connectionsPerAddress", "allowedHosts"})
        applyListenerSetting(QLatin1String(name), setting(QLatin1String(name)));
    ZeltoServer::global()->setWebOrigins(setting(QStringLiteral("wsOrigins")).toStringList());
    MetricsPage::install([this]() { return m_role && m_role->isActive(); }, m_database);
    ConsoleSite::install(m_database);
    followPortSettings();
}

void Service::followPortSettings()
{
    const QHostAddress address = m_address;
    m_portListeners = {
        ListenerSwitch(
            QStringLiteral("xPort"), QStringLiteral("XML-RPC"),
            [this](quint16 port) { return m_xmlRpc && m_xmlRpc->listen(port); },
            [this]() {
                if (m_xmlRpc)
                    m_xmlRpc->close();
            }),
        ListenerSwitch(
            QStringLiteral("wsPort"), QStringLiteral("RPC WebSocket"),
            [address](quint16 port) { return ZeltoServer::global()->listenWeb(port, address); },
            []() { ZeltoServer::global()->closeWeb(); }),
        // The console's WebSocket clients came through this port and go with it.
        ListenerSwitch(
            QStringLiteral("httpPort"), QStringLiteral("HTTP"),
            [address](quint16 port) { return ZeltoHttpServer::global()->listen(port, address); },
            []() {
                ZeltoHttpServer::global()->close();
                ZeltoServer::global()->dropAdopted();
            }),
        // The OPC publisher reads its port with its other settings, and its
        // gateway logs where it listens once it does.
        ListenerSwitch(
            QStringLiteral("opcPort"), QStringLiteral("OPC UA"),
            [this, address](quint16) {
                m_opcServer->start(address);
                return true;
            },
            [this]() { m_opcServer->stop(); }),
    };
    for (ListenerSwitch &listener : m_portListeners)
        listener.apply(setting(listener.setting()));
}

void Service::applyListenerSetting(const QString &name, const QVariant &value)
{
    // XML-RPC's listener follows "requestBufferLimit" itself.
    if (name == QLatin1String("requestBufferLimit")) {
        const qint64 limit = ZeltoRequestBuffers::limitFromSetting(value);
        ZeltoServer::global()->setRequestBufferLimit(limit);
        ZeltoHttpServer::global()->setRequestBufferLimit(limit);
    } else if (name == QLatin1String("connectionsPerAddress")) {
        ZeltoAddressCap::global()->setCap(ZeltoAddressCap::capFromSetting(value));
    } else if (name == QLatin1String("allowedHosts")) {
        ZeltoHostNames::global()->setExtra(value.toStringList());
    }
}

void Service::loadMaintenanceState()
{
    setting(QStringLiteral("backupDir"), Zelto::moduleDir() + QDir::separator() + QStringLiteral("backup"));
    setting(QStringLiteral("backupCount"), 5);
    backupEnabled = setting(QStringLiteral("backupEnabled"), true).toBool();
    lastBackup = setting(QStringLiteral("lastBackup")).toDateTime();
    backupInterval = setting(QStringLiteral("backupInterval"), 24).toInt();
    setting(QStringLiteral("journalDayCount"), 7);
    lastCompact = setting(QStringLiteral("lastCompact")).toDateTime();
    compactInterval = setting(QStringLiteral("compactInterval"), 24).toInt();
}

void Service::maintain()
{
    // Not inside a save that runs a check script: backup and compaction
    // must not start within its open transaction; nor after the service stopped.
    if (!m_maintenance->isActive() || ZeltoBusyGuard::defer(this, [this]() { maintain(); }))
        return;
    const QDateTime now = m_clock->now();
    // PostgreSQL's copies are made by its own tools.
    if (backupEnabled && m_database && !m_database->isPostgreSQL())
        backupIfDue(now);
    // Not under a copy being made (a compaction under way waits for the
    // copy itself). A backup started here compacts when it ends; one a
    // client started, at the next tick.
    if (!DatabaseBackup::running())
        compactIfDue(now);
}

void Service::backupIfDue(const QDateTime &now)
{
    if (!lastBackup.isNull() && now < lastBackup.addSecs(qint64(backupInterval) * 3600))
        return;
    // A copy a client asked for is still running: this one is due at the next tick.
    if (DatabaseBackup::running())
        return;
    const ZeltoResult<DatabaseBackup *> started = DatabaseBackup::start(*m_database);
    if (!started.ok()) {
        m_database->log(Database::Error, started.status().message());   // tried again at the next tick
        return;
    }
    DatabaseBackup *backup = started.value();
    connect(backup, &DatabaseBackup::finished, this,
            [this, now](bool ok, const QString &error) { onBackupFinished(now, ok, error); });
}

void Service::onBackupFinished(const QDateTime &started, bool ok, const QString &error)
{
    if (!m_database)
        return;   // ended after the server stopped being the active one
    if (ok) {
        lastBackup = started;
        m_database->putSetting(QStringLiteral("lastBackup"), started);
        m_database->log(Database::Info, tr("Резервное копирование БД"));
    } else {
        // lastBackup stays: tried again at the next tick.
        m_database->log(Database::Error, error);
    }
    if (m_maintenance->isActive())
        compactIfDue(m_clock->now());
}

void Service::compactIfDue(const QDateTime &now)
{
    if (!lastCompact.isNull() && now < lastCompact.addSecs(qint64(compactInterval) * 3600))
        return;
    if (JournalCompaction::running())
        return;
    // In steps between the clients' requests; its end is noted when it comes.
    const ZeltoResult<JournalCompaction *> started = JournalCompaction::start(*m_database);
    if (!started.ok()) {
        m_database->log(Database::Error, tr("Сжатие БД") + QStringLiteral(": ") + started.status().message());
        return;
    }
    JournalCompaction *compaction = started.value();
    connect(compaction, &JournalCompaction::finished, this, [this, now](bool ok, const QString &error) {
        if (!m_database)
            return;
        if (ok) {
            lastCompact = now;
            m_database->putSetting(QStringLiteral("lastCompact"), now);
            m_database->log(Database::Info, tr("Сжатие БД"));
        } else {
            m_database->log(Database::Error, tr("Сжатие БД") + QStringLiteral(": ") + error);
        }
    });
}

void Service::onPropertyChanged(const QString &name, const QVariant &value)
{
    if (name == QLatin1String("backupInterval"))
        backupInterval = value.toInt();
    else if (name == QLatin1String("compactInterval"))
        compactInterval = value.toInt();
    else if (name == QLatin1String("wsOrigins"))
        ZeltoServer::global()->setWebOrigins(value.toStringList());
    else
        applyListenerSetting(name, value);
    for (ListenerSwitch &listener : m_portListeners) {
        if (listener.setting() == name)
            listener.apply(value);
    }
}

void Service::onErrorMessage(const QString &message)
{
    logMessage(message, QtServiceBase::Error);
}
