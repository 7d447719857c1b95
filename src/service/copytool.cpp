#include "copytool.h"

#include "databasecopy.h"
#include "databasesettings.h"

#include <QElapsedTimer>

#include <cstdio>

namespace {

const QString CopyOption = QStringLiteral("-copy-database-to");

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

} // namespace

bool CopyTool::isOption(const QString &argument)
{
    return argument == CopyOption;
}

QString CopyTool::help()
{
    return tr("  -copy-database-to БД       скопировать БД сервера в пустую БД и проверить копию; БД: INI-файл,\n"
              "                             postgresql://пользователь@сервер:порт/имя или sqlite:файл\n");
}

int CopyTool::run(const QStringList &arguments, const QString &settingsPath)
{
    if (arguments.size() != 3 || arguments.at(1) != CopyOption) {
        print(stderr, tr("Неверные параметры. Использование:\n") + help());
        return 2;
    }
    const DatabaseSettings source = DatabaseSettings::fromIni(settingsPath);
    const DatabaseSettings target = DatabaseSettings::fromTarget(arguments.at(2));
    if (source.isValid() && target.isValid())
        print(stdout, tr("Копирование БД %1 в %2\n").arg(source.describe(), target.describe()));
    QElapsedTimer timer;
    timer.start();
    DatabaseCopy copy(source, target);
    if (!copy.run()) {
        print(stderr, tr("Копирование не выполнено: %1\n").arg(copy.error()));
        return 1;
    }
    qint64 rows = 0;
    qint64 bytes = 0;
    for (const DatabaseCopy::TableCount &count : copy.counts()) {
        print(stdout, tr("  %1: строк %2, двоичных данных %3 байт\n").arg(count.table).arg(count.rows).arg(count.bytes));
        rows += count.rows;
        bytes += count.bytes;
    }
    print(stdout, tr("Скопировано и проверено: версия схемы %1, строк %2, двоичных данных %3 байт за %4 с\n")
                      .arg(copy.version())
                      .arg(rows)
                      .arg(bytes)
                      .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return 0;
}
