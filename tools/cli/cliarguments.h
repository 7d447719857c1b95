#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantList>

// The command line of orvex-cli, parsed.
class CliArguments
{
public:
    bool parse(const QStringList &arguments);  // false: error() says why
    QString error() const { return m_error; }
    static QString usage();

    bool help = false;
    bool version = false;
    // The servers to try, in order: each -H gives one or more, comma
    // separated, as host, host:port or [IPv6]:port; the port is -p's when
    // none is given. localhost when there is no -H.
    QList<QPair<QString, quint16>> servers() const;
    quint16 port = 5412;
    QString login;
    QString password;
    bool hasLogin = false;
    bool table = false;
    bool all = false;    // every column of a wide table
    int timeoutMs = 60000;
    QString command;
    QVariantList params;
    QStringList words;   // the arguments after the command, as given

private:
    bool fail(const QString &text);
    bool addServers(const QString &list);

    QList<QPair<QString, int>> m_servers;   // port 0: -p's
    QString m_error;
};
