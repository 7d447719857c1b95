#include "apicommand.h"
#include "zeltosystem.h"

#include <QSet>
#include <QtTest>

// Invariants of the command table: names and class names are unique and
// route to their command, every right is a command's name (a right is the
// permission to run the command of that name), and commands whose
// subsystems are not built yet refuse in an orderly way.
class CommandTableTest : public QObject
{
    Q_OBJECT

private slots:
    void namesRoutesAndRights()
    {
        QSet<QString> names, classNames;
        for (const ApiCommand *command : ApiCommand::table()) {
            QVERIFY2(!names.contains(command->name()), qPrintable(command->name()));
            QVERIFY2(!classNames.contains(command->className()), qPrintable(command->className()));
            names.insert(command->name());
            classNames.insert(command->className());
            QCOMPARE(ZeltoCommand::find(command->name()), command);
        }
        for (const ApiCommand *command : ApiCommand::table())
            QVERIFY2(command->right().isEmpty() || names.contains(command->right()), qPrintable(command->right()));
    }

    void commandsStillToComeFailInAnOrderlyWay()
    {
        for (ApiCommand *command : ApiCommand::table()) {
            if (command->isAvailable())
                continue;
            ZeltoSystem::instance()->clearError();
            // Outside any client call the caller is unrestricted, so the refusal
            // comes from the missing subsystem, before any parameter is read.
            QVERIFY(!command->execute(QVariantList()).isValid());
            const QString error = ZeltoSystem::instance()->lastError();
            QVERIFY2(error.contains(command->name()) && error.contains(QStringLiteral("недоступна")), qPrintable(error));
        }
    }
};

QTEST_GUILESS_MAIN(CommandTableTest)
#include "tst_commandtable.moc"
