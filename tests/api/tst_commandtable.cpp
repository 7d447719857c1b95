#include "apicommand.h"

#include <QtTest>

// Invariants of the command table: unique names that route to their command,
// every right a command's name.
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
};

QTEST_GUILESS_MAIN(CommandTableTest)
#include "tst_commandtable.moc"
