#pragma once

#include "qtservicecontroller.h"

#include <QString>

// The systemd unit that runs a service: what `-systemd-unit` prints, for the
// administrator to save under /etc/systemd/system.
class QtServiceUnitFile
{
public:
    QtServiceUnitFile(const QString &serviceName, const QString &description,
                      QtServiceController::StartupType startupType, const QString &programPath);

    QString text() const;

private:
    QString m_name;
    QString m_description;
    QtServiceController::StartupType m_startupType;
    QString m_programPath;
};
