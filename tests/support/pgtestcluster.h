#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>

// The throwaway PostgreSQL cluster CTest's fixture started (tests/support/
// pgcluster.py), read from the state file ORVEX_PG_CLUSTER names. A test
// makes a database of its own in it and writes an INI file that points there.
class PgTestCluster
{
public:
    // False, with why() saying so, when no cluster is there to use.
    bool load()
    {
        const QByteArray path = qgetenv("ORVEX_PG_CLUSTER");
        QFile file(QString::fromLocal8Bit(path));
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            m_why = QStringLiteral("no PostgreSQL cluster: ORVEX_PG_CLUSTER names none (CTest's pg fixture starts one)");
            return false;
        }
        const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
        host = state.value(QStringLiteral("host")).toString();
        port = state.value(QStringLiteral("port")).toInt();
        user = state.value(QStringLiteral("user")).toString();
        return port > 0;
    }

    // An empty database of its own; its name, empty when it could not be made.
    QString createDatabase(const QString &prefix)
    {
        const QString name = QStringLiteral("%1_%2_%3").arg(prefix).arg(QCoreApplication::applicationPid()).arg(++m_count);
        return admin(QStringLiteral("CREATE DATABASE \"%1\"").arg(name)) ? name : QString();
    }

    // A connection of this name, as the superuser, to the database: open, or closed with why() saying why.
    QSqlDatabase open(const QString &connection, const QString &database)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(host);
        db.setPort(port);
        db.setUserName(user);
        db.setDatabaseName(database);
        if (!db.open())
            m_why = db.lastError().text();
        return db;
    }

    // A connection of this name to a new empty database of its own (see open()).
    QSqlDatabase openNew(const QString &connection, const QString &prefix)
    {
        const QString name = createDatabase(prefix);
        return name.isEmpty() ? QSqlDatabase() : open(connection, name);
    }

    // Runs a statement as the superuser in the maintenance database; false
    // with why() on failure.
    bool admin(const QString &statement)
    {
        bool ok = false;
        {
            QSqlDatabase db = open(QStringLiteral("pg-test-admin"), QStringLiteral("postgres"));
            if (db.isOpen()) {
                QSqlQuery query(db);
                ok = query.exec(statement);
                m_why = query.lastError().text();
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pg-test-admin"));
        return ok;
    }

    // An INI file in dir that puts the server's database in the cluster.
    QString writeIni(const QTemporaryDir &dir, const QString &database) const
    {
        const QString path = dir.filePath(QStringLiteral("orvex-server.ini"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(QStringLiteral("[Database]\ndriver=QPSQL\nhost=%1\nport=%2\nuser=%3\ndatabaseName=%4\n")
                           .arg(host)
                           .arg(port)
                           .arg(user, database)
                           .toUtf8());
        return path;
    }

    const QString &why() const { return m_why; }

    QString host;
    int port = 0;
    QString user;

private:
    QString m_why;
    int m_count = 0;
};
