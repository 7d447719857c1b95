#pragma once

#include "zeltostatus.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVariant>

// The settings that give a listener its port: "xPort" (XML-RPC), "wsPort"
// (RPC over WebSocket), "httpPort" (operators' HTTP) and "opcPort" (OPC UA).
// A value is either off (null, absent or empty text: the listener is
// closed) or a whole number from 1 to 65535, as a number or as text.
class PortSetting
{
    Q_DECLARE_TR_FUNCTIONS(PortSetting)

public:
    static const QStringList &names();
    static bool isPortSetting(const QString &name) { return names().contains(name); }

    // The port the value gives; 0 when it turns the listener off, -1 when it
    // is neither a port nor off.
    static int port(const QVariant &value);
    // For a settings write: false, with an error that names the setting,
    // when the setting is a port setting and the value is neither a port nor off.
    static ZeltoStatus check(const QString &name, const QVariant &value);
};
