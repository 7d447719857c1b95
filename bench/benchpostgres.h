#pragma once

// The benchmarks on PostgreSQL: where the database is, either a throwaway
// cluster started as the tests start theirs (tests/support/pgcluster.py, but
// durable: with PostgreSQL's own fsync and buffers) or one named on the
// command line, the [Database] section that puts a server there, and
// connections of the benchmark's own through libpq for the floors.
//
//   --pg                    a throwaway cluster, removed at the end
//   --connection CONNINFO   an existing server, in libpq's words
//                           ("host=... port=... user=... dbname=... password=...");
//                           its role needs CREATEDB for the scratch databases

#include <libpq-fe.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopedPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace Bench {

class PgConnection;

class PgTarget
{
public:
    // Takes "--pg" or "--connection CONNINFO" out of arguments; false (with a
    // message) when they are wrong or the cluster does not start. Without
    // either, isUsed() stays false and the benchmark runs on SQLite.
    bool parse(QStringList &arguments)
    {
        const int pg = arguments.indexOf(QStringLiteral("--pg"));
        const int connection = arguments.indexOf(QStringLiteral("--connection"));
        if (pg >= 0 && connection >= 0) {
            std::fprintf(stderr, "--pg and --connection: one of them\n");
            return false;
        }
        if (pg >= 0) {
            arguments.removeAt(pg);
            return startCluster();
        }
        if (connection < 0)
            return true;
        if (connection + 1 >= arguments.size()) {
            std::fprintf(stderr, "--connection needs libpq's connection string\n");
            return false;
        }
        const QByteArray conninfo = arguments.at(connection + 1).toUtf8();
        arguments.erase(arguments.begin() + connection, arguments.begin() + connection + 2);
        char *error = nullptr;
        PQconninfoOption *options = PQconninfoParse(conninfo.constData(), &error);
        if (!options) {
            std::fprintf(stderr, "--connection: %s\n", error ? error : "cannot be read");
            PQfreemem(error);
            return false;
        }
        for (PQconninfoOption *option = options; option->keyword; ++option) {
            const QString value = option->val ? QString::fromUtf8(option->val) : QString();
            const QByteArray key(option->keyword);
            if (key == "host")
                m_host = value;
            else if (key == "port")
                m_port = value.toInt();
            else if (key == "user")
                m_user = value;
            else if (key == "password")
                m_password = value;
            else if (key == "dbname")
                m_database = value;
        }
        PQconninfoFree(options);
        if (m_host.isEmpty())
            m_host = QStringLiteral("localhost");
        if (m_port <= 0)
            m_port = 5432;
        if (m_database.isEmpty())
            m_database = QStringLiteral("orvex");
        m_used = true;
        return true;
    }

    ~PgTarget() { stopCluster(); }

    bool isUsed() const { return m_used; }
    bool isThrowaway() const { return !m_stateFile.isEmpty(); }
    // The database --connection named ("orvex" when it named none); empty for --pg.
    QString namedDatabase() const { return isThrowaway() ? QString() : m_database; }

    // libpq's connection string of a database of this server.
    QByteArray conninfo(const QString &database) const
    {
        QString text = QStringLiteral("host='%1' port=%2 dbname='%3'").arg(m_host).arg(m_port).arg(database);
        if (!m_user.isEmpty())
            text += QStringLiteral(" user='%1'").arg(m_user);
        if (!m_password.isEmpty())
            text += QStringLiteral(" password='%1'").arg(m_password);
        return text.toUtf8();
    }

    // The INI file's [Database] section of a database of this server.
    QString iniSection(const QString &database) const
    {
        QString text = QStringLiteral("[Database]\ndriver=QPSQL\nhost=%1\nport=%2\ndatabaseName=%3\n")
                           .arg(m_host)
                           .arg(m_port)
                           .arg(database);
        if (!m_user.isEmpty())
            text += QStringLiteral("user=%1\n").arg(m_user);
        if (!m_password.isEmpty())
            text += QStringLiteral("password=%1\n").arg(m_password);
        return text;
    }

    // A new empty database (or the benchmark ends); its name.
    QString createDatabase(const QString &prefix);
    void dropDatabase(const QString &name);

    // For the benchmark's header: the server's version and where it is.
    QString describe() const;

private:
    bool startCluster()
    {
        m_stateDir.reset(new QTemporaryDir);
        m_stateFile = m_stateDir->filePath(QStringLiteral("cluster.json"));
        QProcess script;
        script.setProcessChannelMode(QProcess::ForwardedChannels);
        script.start(QStringLiteral("python3"),
                     {QStringLiteral(ORVEX_PGCLUSTER_SCRIPT), QStringLiteral("start"), m_stateFile, QStringLiteral("--durable")});
        QFile state(m_stateFile);
        if (!script.waitForFinished(180000) || script.exitCode() != 0 || !state.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "the throwaway PostgreSQL cluster did not start\n");
            m_stateFile.clear();
            return false;
        }
        const QJsonObject object = QJsonDocument::fromJson(state.readAll()).object();
        m_host = object.value(QStringLiteral("host")).toString();
        m_port = object.value(QStringLiteral("port")).toInt();
        m_user = object.value(QStringLiteral("user")).toString();
        s_running = this;
        std::atexit([] {
            if (s_running)
                s_running->stopCluster();
        });
        m_used = true;
        return true;
    }

    void stopCluster()
    {
        if (m_stateFile.isEmpty())
            return;
        QProcess::execute(QStringLiteral("python3"), {QStringLiteral(ORVEX_PGCLUSTER_SCRIPT), QStringLiteral("stop"), m_stateFile});
        m_stateFile.clear();
        s_running = nullptr;
    }

    static inline PgTarget *s_running = nullptr;   // the cluster to stop when the benchmark ends early
    bool m_used = false;
    QString m_host;
    int m_port = 0;
    QString m_user;
    QString m_password;
    QString m_database;
    QScopedPointer<QTemporaryDir> m_stateDir;
    QString m_stateFile;   // of the throwaway cluster while it runs
};

// A libpq connection of the benchmark's own: statements written with "?"
// placeholders as for SQLite; integers bound as text, byte arrays as bytes;
// results in binary form, so that archives come as their stored bytes.
class PgConnection
{
public:
    explicit PgConnection(const QByteArray &conninfo) : m_conn(PQconnectdb(conninfo.constData()))
    {
        if (PQstatus(m_conn) != CONNECTION_OK) {
            std::fprintf(stderr, "PostgreSQL: %s\n", PQerrorMessage(m_conn));
            std::exit(1);
        }
        // Its notices ("table ... does not exist, skipping") are no figures.
        PQsetNoticeProcessor(m_conn, [](void *, const char *) {}, nullptr);
    }
    ~PgConnection() { PQfinish(m_conn); }
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;

    void exec(const char *statement) { run(statement); }

    // As Sqlite::run in bench_scale: every column of every row read, bytes
    // summed into *bytes, the first row's cells kept in *firstRow; the rows.
    int run(const char *statement, const QVariantList &binds = {}, qint64 *bytes = nullptr,
            QList<QByteArray> *firstRow = nullptr)
    {
        QByteArray text;
        int number = 0;
        for (const char *c = statement; *c; ++c) {
            if (*c == '?')
                text += '$' + QByteArray::number(++number);
            else
                text += *c;
        }
        QVector<QByteArray> values(binds.size());
        QVector<const char *> pointers(binds.size());
        QVector<int> lengths(binds.size()), formats(binds.size());
        for (int i = 0; i < binds.size(); ++i) {
            const bool binary = binds.at(i).userType() == QMetaType::QByteArray;
            values[i] = binary ? binds.at(i).toByteArray() : QByteArray::number(binds.at(i).toLongLong());
            pointers[i] = values[i].constData();
            lengths[i] = values[i].size();
            formats[i] = binary ? 1 : 0;
        }
        PGresult *result = PQexecParams(m_conn, text.constData(), binds.size(), nullptr, pointers.constData(),
                                        lengths.constData(), formats.constData(), 1);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "%s: %s\n", statement, PQresultErrorMessage(result));
            PQclear(result);
            std::exit(1);
        }
        const int rows = PQntuples(result);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < PQnfields(result); ++c) {
                const int size = PQgetlength(result, r, c);
                if (bytes)
                    *bytes += size;
                if (firstRow && r == 0)
                    firstRow->append(PQgetisnull(result, r, c) ? QByteArray() : QByteArray(PQgetvalue(result, r, c), size));
            }
        }
        PQclear(result);
        return rows;
    }

    // The first cell of the statement's first row, as text.
    QByteArray value(const char *statement)
    {
        PGresult *result = PQexec(m_conn, statement);
        if (PQresultStatus(result) != PGRES_TUPLES_OK || PQntuples(result) < 1) {
            std::fprintf(stderr, "%s: %s\n", statement, PQresultErrorMessage(result));
            PQclear(result);
            std::exit(1);
        }
        const QByteArray text(PQgetvalue(result, 0, 0));
        PQclear(result);
        return text;
    }

    // The bytes of write-ahead log PostgreSQL has written so far.
    qint64 walBytes() { return value("SELECT pg_current_wal_lsn() - '0/0'::pg_lsn").toLongLong(); }
    qint64 backendPid() const { return PQbackendPID(m_conn); }
    qint64 databaseBytes() { return value("SELECT pg_database_size(current_database())").toLongLong(); }

private:
    PGconn *m_conn;
};

inline QString PgTarget::createDatabase(const QString &prefix)
{
    static int count = 0;
    const QString name = QStringLiteral("%1_%2_%3").arg(prefix).arg(QCoreApplication::applicationPid()).arg(++count);
    PgConnection(conninfo(QStringLiteral("postgres"))).exec(qPrintable(QStringLiteral("CREATE DATABASE \"%1\"").arg(name)));
    return name;
}

inline void PgTarget::dropDatabase(const QString &name)
{
    PgConnection(conninfo(QStringLiteral("postgres")))
        .exec(qPrintable(QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(name)));
}

inline QString PgTarget::describe() const
{
    const QByteArray version = PgConnection(conninfo(QStringLiteral("postgres"))).value("SHOW server_version");
    return QStringLiteral("PostgreSQL %1 on %2:%3%4")
        .arg(QString::fromUtf8(version).section(QLatin1Char(' '), 0, 0), m_host)
        .arg(m_port)
        .arg(isThrowaway() ? QStringLiteral(" (a throwaway cluster, fsync on)") : QString());
}

} // namespace Bench
