// Every command of the server, in registration order: name, class name,
// declared parameter count (-1: any), the right checked first, and the
// function that does the work.

#include "apicommand.h"
#include "archivecommands.h"
#include "checkcommands.h"
#include "exchangecommands.h"
#include "groupcommands.h"
#include "monitorcommands.h"
#include "nodecommands.h"
#include "parametercommands.h"
#include "servercommands.h"
#include "sessioncommands.h"
#include "taskcommands.h"
#include "usercommands.h"

namespace {

using namespace ServerCommands;
using namespace SessionCommands;
using namespace UserCommands;
using namespace GroupCommands;
using namespace NodeCommands;
using namespace ExchangeCommands;
using namespace CheckCommands;
using namespace ArchiveCommands;
using namespace ParameterCommands;
using namespace TaskCommands;
using namespace MonitorCommands;

const int Any = -1;

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
    {"getUsers", "GetUsers", Any, "getUsers", getUsers},
    {"getUser", "GetUser", 1, "getUsers", getUser},
    {"getUserData", "GetUserData", 1, "getUsers", getUserData},
    {"saveUser", "SaveUser", 1, "saveUser", saveUser},
    {"removeUser", "RemoveUser", 1, "removeUser", removeUser},
    {"getUserAccess", "GetUserAccess", 1, "getUsers", getUserAccess},
    {"setUserAccess", "SetUserAccess", 2, "saveUser", setUserAccess},
    {"getUserGroups", "GetUserGroups", 1, "getUsers", getUserGroups},
    {"setUserGroups", "SetUserGroups", 2, "saveUser", setUserGroups},
    // Groups
    {"getGroups", "GetGroups", Any, "", getGroups},
    {"getGroup", "GetGroup", 1, "", getGroup},
    {"saveGroup", "SaveGroup", 1, "saveGroup", saveGroup},
    {"removeGroup", "RemoveGroup", 1, "removeGroup", removeGroup},
    // Nodes
    {"getNodes", "GetNodes", Any, "", getNodes},
    {"getNode", "GetNode", 1, "", getNode},
    {"saveNode", "SaveNode", 1, "saveNode", saveNode},
    {"setNodeGroup", "SetNodeGroup", 2, "saveNode", setNodeGroup},
    {"removeNode", "RemoveNode", 1, "removeNode", removeNode},
    {"exportNode", "ExportNode", 1, "exportNode", exportNode},
    {"importNode", "ImportNode", 1, "importNode", importNode},
    // Check parameters and the check log
    {"getCheckParams", "GetCheckParams", 1, "getCheckParams", getCheckParams},
    {"setCheckParams", "SetCheckParams", 2, "setCheckParams", setCheckParams},
    {"checkArchives", "CheckArchives", 1, "checkArchives", checkArchives},
    {"getCheckLog", "GetCheckLog", 3, "", getCheckLog},
    {"getCheckErrors", "GetCheckErrors", 3, "", getCheckErrors},
    {"clearCheckLog", "ClearCheckLog", 1, "clearCheckLog", clearCheckLog},
    // Archives
    {"saveArchives", "SaveArchives", 1, "saveArchives", saveArchives},
    {"clearArchives", "ClearArchives", 1, "clearArchives", clearArchives},
    {"getSettingData", "GetSettingData", 1, "", getSettingData},
    {"getJournalData", "GetJournalData", 3, "", getJournalData},
    {"getArchive", "GetArchive", 4, "", getArchive},
    {"getReportData", "GetReportData", 3, "", getReportData},
    {"getGroupTotals", "GetGroupTotals", 3, "", getGroupTotals},
    {"getFillData", "GetFillData", 1, "", getFillData},
    // Tasks
    {"getTasks", "GetTasks", Any, "", getTasks},
    {"getTask", "GetTask", 1, "", getTask},
    {"getTaskData", "GetTaskData", 1, "", getTaskData},
    {"getTaskLog", "GetTaskLog", 1, "", getTaskLog},
    {"saveTask", "SaveTask", 1, "saveTask", saveTask},
    {"setTaskGroup", "SetTaskGroup", 2, "saveTask", setTaskGroup},
    {"removeTask", "RemoveTask", 1, "removeTask", removeTask},
    {"startTask", "StartTask", 1, "startTask", startTask},
    {"cancelTask", "CancelTask", 1, "cancelTask", cancelTask},
    {"getTaskState", "GetTaskState", 1, "", getTaskState},
    // Monitoring
    {"monitorAppend", "MonitorAppend", 1, "monitorAppend", monitorAppend},
    {"monitorRemove", "MonitorRemove", 1, "", monitorRemove},
    {"monitorGetData", "MonitorGetData", Any, "", monitorGetData},
    // Parameter values and descriptions
    {"getValues", "GetValues", 2, "", getValues},
    {"describeParams", "DescribeParams", 3, "", describeParams},
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
