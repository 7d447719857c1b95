#include "zeltoenvironment.h"

#include <QHash>
#include <QMutex>

#include <algorithm>

namespace {

const char *const kNames[] = {"ORVEX_HOME",           "ORVEX_CONFIG",          "ORVEX_DATA_DIR",
                              "ORVEX_RUNTIME_DIR",    "ORVEX_LOG_LEVEL",       "ORVEX_STREAM_VERSION",
                              "ORVEX_MONITOR_TICK_MS", "ORVEX_NODE",           "ORVEX_OPC_GATEWAY",
                              "ORVEX_BACKUP_STEP_PAUSE_MS", "ORVEX_ARCHIVE_SPLICE", "XDG_RUNTIME_DIR",
                              "JOURNAL_STREAM",       "TZ"};

struct Values
{
    QMutex mutex;
    QHash<QByteArray, QString> byName;   // the set ones only, guarded by mutex
};

Values &values()
{
    static Values *read = [] {
        auto *found = new Values;   // never destroyed: pool threads may ask while the process exits
        for (const char *name : kNames) {
            const QString value = qEnvironmentVariable(name);
            if (!value.isEmpty())
                found->byName.insert(name, value);
        }
        return found;
    }();
    return *read;
}

QString text(const char *name)
{
    Values &all = values();
    QMutexLocker locker(&all.mutex);
    return all.byName.value(name);
}

// As the C library reads numbers: decimal, 0x hexadecimal, 0 octal.
int number(const char *name, bool *ok)
{
    return text(name).toInt(ok, 0);
}

} // namespace

QString ZeltoEnvironment::home()
{
    return text("ORVEX_HOME");
}

QString ZeltoEnvironment::configFile()
{
    return text("ORVEX_CONFIG");
}

QString ZeltoEnvironment::dataDir()
{
    return text("ORVEX_DATA_DIR");
}

QString ZeltoEnvironment::runtimeDir()
{
    for (const char *name : {"ORVEX_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
        const QString dir = text(name);
        if (!dir.isEmpty())
            return dir;
    }
    return QStringLiteral("/tmp");
}

int ZeltoEnvironment::logLevel(int fallback)
{
    bool ok = false;
    const int level = number("ORVEX_LOG_LEVEL", &ok);
    return ok ? level : fallback;
}

int ZeltoEnvironment::streamVersion()
{
    return number("ORVEX_STREAM_VERSION", nullptr);
}

int ZeltoEnvironment::monitorTickMs(int fallback)
{
    bool ok = false;
    const int ms = number("ORVEX_MONITOR_TICK_MS", &ok);
    return ok && ms > 0 ? ms : fallback;
}

int ZeltoEnvironment::backupStepPauseMs()
{
    return qMax(0, number("ORVEX_BACKUP_STEP_PAUSE_MS", nullptr));
}

QString ZeltoEnvironment::nodeProgram()
{
    const QString program = text("ORVEX_NODE");
    return program.isEmpty() ? QStringLiteral("node") : program;
}

QString ZeltoEnvironment::opcGateway()
{
    return text("ORVEX_OPC_GATEWAY");
}

bool ZeltoEnvironment::archiveSplicing()
{
    return text("ORVEX_ARCHIVE_SPLICE") != QLatin1String("0");
}

bool ZeltoEnvironment::stderrIsJournal()
{
    return !text("JOURNAL_STREAM").isEmpty();
}

bool ZeltoEnvironment::timeZoneSet()
{
    return !text("TZ").isEmpty();
}

void ZeltoEnvironment::set(const char *name, const QString &value)
{
    Q_ASSERT_X(std::find_if(std::begin(kNames), std::end(kNames),
                            [name](const char *known) { return qstrcmp(known, name) == 0; })
                   != std::end(kNames),
               "ZeltoEnvironment::set", name);
    Values &all = values();
    QMutexLocker locker(&all.mutex);
    if (value.isEmpty())
        all.byName.remove(name);
    else
        all.byName.insert(name, value);
}
