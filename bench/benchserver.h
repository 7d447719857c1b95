#pragma once

// The real orvex-server for a benchmark: started in a home folder on a free
// port of the loopback address, with a client connected to it.

#include "zeltoclient.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QThread>

namespace BenchServer {

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The environment of the programs of one home folder.
inline QProcessEnvironment environment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVEX_HOME"), home);
    env.insert(QStringLiteral("ORVEX_RUNTIME_DIR"), home);
    return env;
}

// Writes the server's INI file, starts it and connects the client; false
// when the server does not start or does not listen within ten seconds.
inline bool start(QProcess &server, const QString &home, ZeltoClient &client)
{
    const quint16 port = freePort();
    QFile ini(home + QStringLiteral("/orvex-server.ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return false;
    ini.write(QStringLiteral("[Server]\nport=%1\naddress=127.0.0.1\n").arg(port).toUtf8());
    ini.close();
    server.setProcessEnvironment(environment(home));
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral(ORVEX_SERVER_PATH), QStringList());
    if (!server.waitForStarted())
        return false;
    for (int attempt = 0; attempt < 200; ++attempt) {
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (client.waitForConnected(1000))
            return true;
        QThread::msleep(50);
    }
    return false;
}

}
