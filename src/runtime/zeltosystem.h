#pragma once

#include "zeltostatus.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The process-wide system object: runtime properties, the log, the error
// channel and change notifications. Every member may be called from any
// thread; signals emitted off the main thread reach main-thread receivers
// through queued connections.
class ZeltoSystem : public QObject
{
    Q_OBJECT

public:
    enum LogLevel { LogError = 0, LogWarning = 1, LogInfo = 2, LogDebug = 3 };

    // Process-wide: the log, runtime properties and notifications reach every thread.
    static ZeltoSystem *instance();

    // Runtime properties. Setting one emits propertyChanged when emitChange
    // is true (the settings store publishes every write this way).
    void setProperty(const char *name, const QVariant &value, bool emitChange = true);
    QVariant property(const char *name) const;

    QString settingsPath() const;
    void setSettingsPath(const QString &path);

    // Timestamped line to stderr and syslog. Levels above the log level
    // (ORVEX_LOG_LEVEL, default LogInfo) are dropped.
    void log(int level, const QString &text);

    // The per-thread error channel, for code that still reports failures
    // through it instead of returning a ZeltoStatus. error records text as
    // the calling thread's last failure (of kind Failed) and returns false,
    // so that callers can write `return ZeltoSystem::instance()->error(...)`;
    // fail records a status with its kind.
    bool error(const QString &text);
    bool fail(const ZeltoStatus &status);
    ZeltoStatus lastStatus() const;
    // The last error of the calling thread: a pool thread's failure never
    // overwrites the main thread's.
    QString lastError() const;
    void clearError();

    // Emits notification(name, value); safe from any thread.
    void notify(const QString &name, const QVariant &value);

signals:
    void propertyChanged(const QString &name, const QVariant &value);
    void notification(const QString &name, const QVariant &value);

private:
    ZeltoSystem();

    mutable QMutex m_mutex;
    QVariantMap m_properties;
    QString m_settingsPath;
    int m_logLevel;
};

// For the older callers of an operation that returns statuses: puts a
// failure into the calling thread's error channel; true on success.
inline bool zeltoReport(const ZeltoStatus &status)
{
    return status.ok() || ZeltoSystem::instance()->fail(status);
}

// The same for a result: its value, or failed.
template <typename T>
T zeltoReport(const ZeltoResult<T> &result, const T &failed)
{
    return zeltoReport(result.status()) ? result.value() : failed;
}

// Runs a read that still reports through the error channel: its value, or
// the failure it left there.
template <typename F>
auto zeltoCapture(F read) -> ZeltoResult<decltype(read())>
{
    ZeltoSystem::instance()->clearError();
    auto value = read();
    const ZeltoStatus status = ZeltoSystem::instance()->lastStatus();
    if (!status.ok())
        return status;
    return value;
}

// Runs a change that still answers false with its failure in the error
// channel: the failure as a status.
template <typename F>
ZeltoStatus zeltoCheck(F change)
{
    ZeltoSystem::instance()->clearError();
    if (change())
        return ZeltoStatus();
    const ZeltoStatus status = ZeltoSystem::instance()->lastStatus();
    return status.ok() ? ZeltoStatus::failed(QString()) : status;
}
