#pragma once

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
    QString host = QStringLiteral("localhost");
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
    QString m_error;
};
