#pragma once

#include "commandparams.h"
#include "commandresult.h"
#include "zeltocommand.h"

class DataMonitor;
class Database;
class TaskManager;

#include <QString>

// One client command: its name and declared parameter count, the right it
// checks before anything else, and the function that does the work. Every
// command of the server is one row of the command table (commandtable.cpp).
// The function gets the parameters together with the command's own name,
// for its refusals.
class ApiCommand : public ZeltoCommand
{
public:
    using Handler = CommandReply (*)(CommandParams &params);

    ApiCommand(const char *name, const char *className, int paramCount, const char *right, Handler handler);

    QString className() const { return QString::fromLatin1(m_className); }
    QString right() const { return QString::fromLatin1(m_right); }

    // Checks the login and the right, builds the call's context from the
    // caller's session and runs the handler; a failure keeps its kind.
    ZeltoResult<QVariant> call(const QVariantList &params) override;

    // The command table, in registration order. Referencing it also makes
    // sure the table's static commands are linked into the program.
    static QList<ApiCommand *> table();

    // What the commands work on, set by the service when it has opened the
    // database and created its polling and monitoring, and cleared when it
    // stops them (none: commands that need them fail).
    static void setServices(Database *database, TaskManager *polling, DataMonitor *monitor);
    // The context of a call made now by the current client of the session
    // store (also for the XML-RPC gateway's calls).
    static CommandContext currentContext();

private:
    const char *m_className;
    const char *m_right;
    Handler m_handler;
};
