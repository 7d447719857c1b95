#include "databasesettings.h"

#include "zelto.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// libpq's limits: a connection attempt, and unacknowledged data on a
// connection (a server cut off by the network), each end after seconds.
const char PostgresOptions[] = "connect_timeout=5;keepalives=1;keepalives_idle=5;keepalives_interval=2;"
                               "keepalives_count=2;tcp_user_timeout=5000;application_name=orvex-server";

} // namespace

DatabaseSettings DatabaseSettings::fromIni(const QString &iniPath)
{
    DatabaseSettings settings;
    settings.m_databaseName = Zelto::moduleDir() + QStringLiteral("/telvan.db");
    if (iniPath.isEmpty())
        return settings;
    QSettings ini(iniPath, QSettings::IniFormat);
    // Escaped values read the same; a path typed in plain UTF-8 reads right.
    ini.setIniCodec("UTF-8");
    ini.beginGroup(QStringLiteral("Database"));
    const QString driver = ini.value(QStringLiteral("driver"), QStringLiteral("QSQLITE")).toString().trimmed();
    if (driver.compare(QLatin1String("QPSQL"), Qt::CaseInsensitive) == 0) {
        settings.m_driver = PostgreSQL;
    } else if (driver.compare(QLatin1String("QSQLITE"), Qt::CaseInsensitive) != 0) {
        settings.m_error = tr("Неизвестный драйвер БД Database/driver: %1 (допустимы QSQLITE и QPSQL)").arg(driver);
        return settings;
    }
    if (settings.m_driver == SQLite) {
        settings.m_databaseName = ini.value(QStringLiteral("databaseName"), settings.m_databaseName).toString();
        return settings;
    }

    settings.m_databaseName = ini.value(QStringLiteral("databaseName"), QStringLiteral("orvex")).toString();
    settings.m_host = ini.value(QStringLiteral("host"), QStringLiteral("localhost")).toString();
    settings.m_user = ini.value(QStringLiteral("user")).toString();
    const QString portText = ini.value(QStringLiteral("port"), 5432).toString();
    bool ok = false;
    settings.m_port = portText.toInt(&ok);
    if (!ok || settings.m_port < 1 || settings.m_port > 65535) {
        settings.m_error = tr("Неверный порт Database/port: %1").arg(portText.left(40));
        return settings;
    }
    const bool hasPassword = ini.contains(QStringLiteral("password"));
    const QString passwordFile = ini.value(QStringLiteral("passwordFile")).toString();
    if (hasPassword && !passwordFile.isEmpty()) {
        settings.m_error = tr("Заданы и Database/password, и Database/passwordFile: оставьте одно");
        return settings;
    }
    settings.m_password = ini.value(QStringLiteral("password")).toString();
    if (passwordFile.isEmpty())
        return settings;

    // A password others may read is no secret: such a file is refused, not used.
    struct stat status;
    const QByteArray path = QFile::encodeName(passwordFile);
    if (::stat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        settings.m_error = tr("Файл пароля Database/passwordFile не найден: %1").arg(passwordFile);
        return settings;
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        settings.m_error =
            tr("Файл пароля %1 доступен не только пользователю службы: оставьте права 0600 и владельца службы")
                .arg(passwordFile);
        return settings;
    }
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        settings.m_error = tr("Файл пароля %1 не читается: %2").arg(passwordFile, file.errorString());
        return settings;
    }
    // The first line; an editor's closing newline is not part of it.
    settings.m_password = QString::fromUtf8(file.readLine(4096)).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    return settings;
}

DatabaseSettings DatabaseSettings::fromTarget(const QString &argument)
{
    DatabaseSettings settings;
    static const QString sqlitePrefix = QStringLiteral("sqlite:");
    if (argument.startsWith(sqlitePrefix)) {
        settings.m_databaseName = argument.mid(sqlitePrefix.size());
        if (settings.m_databaseName.isEmpty())
            settings.m_error = tr("Не указан файл БД SQLite: sqlite:ФАЙЛ");
        return settings;
    }
    if (argument.startsWith(QLatin1String("postgresql://")) || argument.startsWith(QLatin1String("postgres://"))) {
        const QUrl url(argument, QUrl::StrictMode);
        settings.m_driver = PostgreSQL;
        settings.m_databaseName = url.path().mid(1);
        if (!url.isValid() || url.host().isEmpty() || settings.m_databaseName.isEmpty()
            || settings.m_databaseName.contains(QLatin1Char('/')) || url.hasQuery() || url.hasFragment()) {
            settings.m_error = tr("Неверный адрес БД PostgreSQL: ожидается postgresql://пользователь@сервер:порт/БД");
            return settings;
        }
        // A password on the command line is seen by every user of the machine.
        if (!url.password().isEmpty()) {
            settings.m_error = tr("Пароль в командной строке не принимается: укажите его в файле PGPASSFILE (или "
                                  "~/.pgpass) либо в INI-файле (Database/passwordFile)");
            return settings;
        }
        settings.m_host = url.host();
        settings.m_port = url.port(5432);
        settings.m_user = url.userName();
        return settings;
    }
    if (!QFileInfo(argument).isFile()) {
        settings.m_error = tr("Файл настроек %1 не найден (ожидается INI-файл, postgresql://... или sqlite:ФАЙЛ)")
                               .arg(argument);
        return settings;
    }
    return fromIni(argument);
}

QString DatabaseSettings::describe() const
{
    if (m_driver == SQLite)
        return m_databaseName;
    return QStringLiteral("%1:%2/%3").arg(m_host).arg(m_port).arg(m_databaseName);
}

QSqlDatabase DatabaseSettings::open(const QString &connectionName) const
{
    QSqlDatabase db =
        QSqlDatabase::addDatabase(m_driver == PostgreSQL ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"),
                                  connectionName);
    db.setDatabaseName(m_databaseName);
    if (m_driver == PostgreSQL) {
        db.setHostName(m_host);
        db.setPort(m_port);
        if (!m_user.isEmpty())
            db.setUserName(m_user);
        if (!m_password.isEmpty())
            db.setPassword(m_password);
        db.setConnectOptions(QLatin1String(PostgresOptions));
    }
    db.open();
    return db;
}
