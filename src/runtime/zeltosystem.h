#pragma once

#include "zeltostatus.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The process-wide system object: runtime properties, the log and change
// notifications. Every member may be called from any thread; signals emitted
// off the main thread reach main-thread receivers through queued connections.
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
