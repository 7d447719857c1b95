#pragma once

#include "zeltostatus.h"

#include <QString>

// Addresses a service by name from any process: whether it runs, and
// delivering user-defined command codes to it. On Linux a running service
// listens on a local socket whose path follows from its name.
class QtServiceController
{
public:
    enum StartupType { AutoStartup = 0, ManualStartup };

    explicit QtServiceController(const QString &name);

    QString serviceName() const;

    // True when something accepts connections on the service's control socket.
    bool isRunning() const;

    // Delivers code to the running service and waits (up to 5 s) until the
    // service has handled it; unavailable when it is not running or does
    // not confirm. Blocks the calling thread; a service must not send
    // commands to itself from its own main thread.
    ZeltoStatus sendCommand(int code);

    // The control socket of the named service in the current home folder
    // (ORVEX_HOME): the directory from ORVEX_RUNTIME_DIR, else
    // XDG_RUNTIME_DIR, else /tmp, and a file name made of the lowercased
    // name with everything outside [a-z0-9] turned into '-', a '-' and 12
    // hexadecimal digits of the SHA-1 of the home's canonical path. Empty
    // for an empty name.
    static QString socketPath(const QString &serviceName);

private:
    QString m_name;
};
