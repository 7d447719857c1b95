#pragma once

#include <QString>
#include <QStringList>

// Statement texts of the database schema and its upgrade steps. They are kept
// character for character: SQLite stores the CREATE texts in sqlite_master,
// and files written by earlier releases hold exactly these (the type word
// "INTEGET" of tasks.is_main and the two blanks after BEGIN included).
namespace Schema {

// Connection set-up and the schema version.
extern const char PragmaCacheSize[];
extern const char PragmaForeignKeys[];
// Write-ahead log: readers (a backup's copy among them) never hold up the
// writer; the log file is cut back to 64 MiB after a large transaction.
extern const char PragmaJournalMode[];
extern const char PragmaJournalSizeLimit[];
// Free pages are given back to the file system in steps (PRAGMA
// incremental_vacuum), never by a whole VACUUM that would hold up clients.
extern const char PragmaAutoVacuum[];
// Freed pages are not overwritten with zeros (deleted cells on pages in use
// still are): a save frees the pages of the node's row and writes the same
// rows, and a day more, into new ones, and zeroing the old pages would
// double what it writes. Compaction gives them back to the disk.
extern const char PragmaSecureDelete[];
extern const char CountTables[];
extern const char ReadUserVersion[];
extern const char WriteUserVersion[];   // followed by the version in decimal

// Tables, in their form at schema version 7 (columns added by the upgrade
// steps are appended by SQLite to nodes and tasks).
extern const char CreateUsers[];
extern const char CreateUsersData[];
extern const char CreateGroups[];
extern const char CreateUserGroups[];
extern const char CreateNodes[];
extern const char CreateNodesData[];
extern const char CreateSettingData[];
extern const char CreateJournalDataFirst[];   // as step 0 made it
extern const char CreateJournalData[];        // as step 1 rebuilds it
extern const char CreateCheckLog[];
extern const char CreateTasks[];
extern const char CreateTasksData[];
extern const char CreateJournal[];
extern const char CreateSettings[];

// Triggers that only add rows or reset flags.
extern const char CreateUserDataTrigger[];
extern const char AddCommonGroupToUserTrigger[];
extern const char CreateNodeDataTrigger[];
extern const char ResetOldMainTaskTrigger[];
extern const char CreateTaskDataTrigger[];

// Triggers that refuse a change: prefix, the translated message, then
// RefusingTriggerEnd. The message reaches clients as the driver's error text.
struct RefusingTrigger
{
    const char *prefix;
    const char *message;   // translation source, context "Database"
};
extern const char RefusingTriggerEnd[];
extern const RefusingTrigger PreventDeleteAdmin;
extern const RefusingTrigger PreventUpdateAdminData;
extern const RefusingTrigger PreventDeleteCommonGroup;
extern const RefusingTrigger PreventUpdateCommonGroup;
extern const RefusingTrigger PreventUpdateNodeMainInfo;
QString refusingTrigger(const RefusingTrigger &trigger);

// Rows the schema creates: the administrator and the common group.
extern const char DefaultAdminPassword[];
extern const char CommonGroupName[];   // translation source, context "Database"
QString insertAdmin();
QString insertCommonGroup();

// Every statement of step 0, in execution order.
QStringList initialSchema();

// The tables step 0 creates; every later version has them too.
QStringList tableNames();

// Step 1: the device journal without NULL values, then the new node columns.
QStringList journalDataRebuild();
QStringList nodeColumnsOfStep1();

// "ALTER TABLE nodes ADD COLUMN paramN TEXT" for N from first to last.
QStringList nodeParamColumns(int first, int last);

// Step 4.
extern const char AddTaskNextExec[];

// Step 8: what the node list looks up per node: its tasks, and the check-log
// entries of its latest save.
extern const char IndexTasksByNode[];
extern const char IndexCheckLogByNodeTime[];

// Every statement that takes an empty file to the current version (steps 0
// to 8 as the upgrades run them there), the version itself not included.
QStringList currentSchema();

// Scheme fix after version 2: the nodes of that model.
extern const char SelectRnh7Nodes[];

}
