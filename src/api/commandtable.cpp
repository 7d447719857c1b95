// Every command of the server, in registration order: name, class name,
// declared parameter count (-1: any), the right checked first, and the
// function that does the work (none yet for subsystems still to come).

#include "apicommand.h"
#include "servercommands.h"
#include "sessioncommands.h"

namespace {

using namespace ServerCommands;
using namespace SessionCommands;

const int Any = -1;
const ApiCommand::Handler NotYet = nullptr;

ApiCommand commands[] = {
    // Session and server
    {"getVersion", "GetAppVersion", Any, "", getVersion},
    {"getDbVersion", "GetDbVersion", Any, "", getDbVersion},
    {"getApiVersion", "GetApiVersion", Any, "", getApiVersion},
    {"login", "Login", Any, "", login},
    {"logout", "Logout", Any, "", logout},
    {"takeChangeEvents", "TakeChangeEvents", Any, "", takeChangeEvents},
    {"getSettings", "GetSettings", Any, "", getSettings},
    {"getSetting", "GetSetting", 1, "", getSetting},
    {"setSetting", "SetSetting", 2, "setSetting", setSetting},
    {"getJournal", "GetJournal", 2, "", getJournal},
    {"clearJournal", "ClearJournal", Any, "clearJournal", clearJournal},
    {"backupDatabase", "BackupDatabase", Any, "backupDatabase", backupDatabase},
    {"restartServer", "RestartServer", Any, "setSetting", restartServer},
    // Users
    {"getUsers", "GetUsers", Any, "getUsers", NotYet},
    {"getUser", "GetUser", 1, "getUsers", NotYet},
    {"getUserData", "GetUserData", 1, "getUsers", NotYet},
    {"saveUser", "SaveUser", 1, "saveUser", NotYet},
    {"removeUser", "RemoveUser", 1, "removeUser", NotYet},
    {"getUserAccess", "GetUserAccess", 1, "getUsers", NotYet},
    {"setUserAccess", "SetUserAccess", 2, "saveUser", NotYet},
    {"getUserGroups", "GetUserGroups", 1, "getUsers", NotYet},
    {"setUserGroups", "SetUserGroups", 2, "saveUser", NotYet},
    // Groups
    {"getGroups", "GetGroups", Any, "", NotYet},
    {"getGroup", "GetGroup", 1, "", NotYet},
    {"saveGroup", "SaveGroup", 1, "saveGroup", NotYet},
    {"removeGroup", "RemoveGroup", 1, "removeGroup", NotYet},
    // Nodes
    {"getNodes", "GetNodes", Any, "", NotYet},
    {"getNode", "GetNode", 1, "", NotYet},
    {"saveNode", "SaveNode", 1, "saveNode", NotYet},
    {"setNodeGroup", "SetNodeGroup", 2, "saveNode", NotYet},
    {"removeNode", "RemoveNode", 1, "removeNode", NotYet},
    {"exportNode", "ExportNode", 1, "exportNode", NotYet},
    {"importNode", "ImportNode", 1, "importNode", NotYet},
    // Check parameters and the check log
    {"getCheckParams", "GetCheckParams", 1, "getCheckParams", NotYet},
    {"setCheckParams", "SetCheckParams", 2, "setCheckParams", NotYet},
    {"checkArchives", "CheckArchives", 1, "checkArchives", NotYet},
    {"getCheckLog", "GetCheckLog", 3, "", NotYet},
    {"getCheckErrors", "GetCheckErrors", 3, "", NotYet},
    {"clearCheckLog", "ClearCheckLog", 1, "clearCheckLog", NotYet},
    // Archives
    {"saveArchives", "SaveArchives", 1, "saveArchives", NotYet},
    {"clearArchives", "ClearArchives", 1, "clearArchives", NotYet},
    {"getSettingData", "GetSettingData", 1, "", NotYet},
    {"getJournalData", "GetJournalData", 3, "", NotYet},
    {"getArchive", "GetArchive", 4, "", NotYet},
    {"getReportData", "GetReportData", 3, "", NotYet},
    {"getGroupTotals", "GetGroupTotals", 3, "", NotYet},
    {"getFillData", "GetFillData", 1, "", NotYet},
    // Tasks
    {"getTasks", "GetTasks", Any, "", NotYet},
    {"getTask", "GetTask", 1, "", NotYet},
    {"getTaskData", "GetTaskData", 1, "", NotYet},
    {"getTaskLog", "GetTaskLog", 1, "", NotYet},
    {"saveTask", "SaveTask", 1, "saveTask", NotYet},
    {"setTaskGroup", "SetTaskGroup", 2, "saveTask", NotYet},
    {"removeTask", "RemoveTask", 1, "removeTask", NotYet},
    {"startTask", "StartTask", 1, "startTask", NotYet},
    {"cancelTask", "CancelTask", 1, "cancelTask", NotYet},
    {"getTaskState", "GetTaskState", 1, "", NotYet},
    // Monitoring
    {"monitorAppend", "MonitorAppend", 1, "monitorAppend", NotYet},
    {"monitorRemove", "MonitorRemove", 1, "", NotYet},
    {"monitorGetData", "MonitorGetData", Any, "", NotYet},
    // Parameter values and descriptions
    {"getValues", "GetValues", 2, "", NotYet},
    {"describeParams", "DescribeParams", 3, "", NotYet},
};

} // namespace

// Defined here so that whoever asks for the table links this file in, and
// with it the registration of every command.
QList<ApiCommand *> ApiCommand::table()
{
    QList<ApiCommand *> list;
    for (ApiCommand &command : commands)
        list.append(&command);
    return list;
}
