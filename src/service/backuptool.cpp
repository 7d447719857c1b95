#include "backuptool.h"

#include "backupfolder.h"
#include "database.h"
#include "databasebackup.h"
#include "databasefilecheck.h"
#include "databaserestore.h"
#include "qtservicecontroller.h"
#include "service.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

const QString VerifyOption = QStringLiteral("-verify-backups");
const QString RestoreOption = QStringLiteral("-restore");
const QString TimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

QString row(const QString &name, const QString &time, const QString &size, const QString &version,
            const QString &nodes, const QString &verdict)
{
    return name.leftJustified(24) + QLatin1Char(' ') + time.leftJustified(19) + QLatin1Char(' ')
        + size.rightJustified(14) + QLatin1Char(' ') + version.rightJustified(6) + QLatin1Char(' ')
        + nodes.rightJustified(6) + QStringLiteral("  ") + verdict + QLatin1Char('\n');
}

} // namespace

QString BackupTool::help()
{
    return tr("  -verify-backups [каталог]  проверить резервные копии (по умолчанию в каталоге из настройки backupDir)\n"
              "  -restore файл              восстановить БД из резервной копии (служба должна быть остановлена)\n");
}

bool BackupTool::isOption(const QString &argument)
{
    return argument == VerifyOption || argument == RestoreOption;
}

int BackupTool::run(const QStringList &arguments)
{
    const QString option = arguments.value(1);
    if (option == VerifyOption && arguments.size() <= 3)
        return verify(arguments.value(2));
    if (option == RestoreOption && arguments.size() == 3)
        return restore(arguments.at(2));
    print(stderr, tr("Неверные параметры. Использование:\n") + help());
    return 2;
}

int BackupTool::verify(const QString &folderArgument)
{
    const QString folderPath = QDir(folderArgument.isEmpty() ? DatabaseBackup::folderPathOf(Database::fileName())
                                                             : folderArgument)
                                   .absolutePath();
    if (!QFileInfo(folderPath).isDir()) {
        print(stderr, tr("Каталог резервных копий %1 не найден\n").arg(folderPath));
        return 1;
    }
    const BackupFolder folder(folderPath);
    print(stdout, tr("Каталог резервных копий: %1\n").arg(folderPath));
    print(stdout, row(tr("Файл"), tr("Время"), tr("Размер, байт"), tr("Версия"), tr("Узлов"), tr("Проверка")));

    int copies = 0;
    int good = 0;
    const QFileInfoList files =
        QDir(folderPath).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &file : files) {
        const QString name = file.fileName();
        const QString size = QString::number(file.size());
        if (!BackupFolder::isCopyName(name)) {
            // Not ours to open: only named.
            const QString kind = BackupFolder::isLeftoverName(name) ? tr("остаток незавершённой копии")
                                                                     : tr("не резервная копия");
            print(stdout, row(name, file.lastModified().toString(TimeFormat), size, QStringLiteral("-"),
                              QStringLiteral("-"), kind));
            continue;
        }
        ++copies;
        const DatabaseFileCheck check = DatabaseFileCheck::inspect(file.absoluteFilePath());
        good += check.isGood() ? 1 : 0;
        print(stdout, row(name, BackupFolder::copyTime(name).toString(TimeFormat), size,
                          check.version() >= 0 ? QString::number(check.version()) : QStringLiteral("-"),
                          check.nodeCount() >= 0 ? QString::number(check.nodeCount()) : QStringLiteral("-"),
                          check.isGood() ? tr("исправна") : tr("ОШИБКА: %1").arg(check.error())));
    }
    print(stdout, tr("Резервных копий: %1, исправных: %2\n").arg(copies).arg(good));
    return copies > 0 && good == copies ? 0 : 1;
}

int BackupTool::restore(const QString &file)
{
    if (QtServiceController(QString::fromLatin1(Service::Name)).isRunning()) {
        print(stderr, tr("Служба «%1» работает: остановите её перед восстановлением БД\n")
                          .arg(QString::fromLatin1(Service::Name)));
        return 1;
    }
    const QString copy = QFileInfo(file).absoluteFilePath();
    const QString live = QFileInfo(Database::fileName()).absoluteFilePath();
    DatabaseRestore restore;
    if (!restore.restore(copy, live, ZeltoClock::system()->now())) {
        print(stderr, restore.error() + QLatin1Char('\n') + tr("Текущая БД не изменена.\n"));
        return 1;
    }
    const QDateTime made = BackupFolder::copyTime(QFileInfo(copy).fileName());
    print(stdout, tr("Копия %1 проверена: версия схемы %2, узлов %3.\n")
                      .arg(copy)
                      .arg(restore.check().version())
                      .arg(restore.check().nodeCount()));
    if (!restore.keptAs().isEmpty())
        print(stdout, tr("Прежняя БД сохранена как %1.\n").arg(restore.keptAs()));
    print(stdout, (made.isValid() ? tr("БД %1 восстановлена из копии от %2.\n").arg(live, made.toString(TimeFormat))
                                  : tr("БД %1 восстановлена из копии.\n").arg(live))
                      + tr("Служба может быть запущена.\n"));
    return 0;
}
