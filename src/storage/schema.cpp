#include "schema.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRegularExpression>

namespace Schema {

const char PragmaCacheSize[] = "PRAGMA cache_size = 10000";
const char PragmaForeignKeys[] = "PRAGMA foreign_keys = ON";
const char PragmaJournalMode[] = "PRAGMA journal_mode = WAL";
const char PragmaJournalSizeLimit[] = "PRAGMA journal_size_limit = 67108864";
const char PragmaAutoVacuum[] = "PRAGMA auto_vacuum = INCREMENTAL";
const char PragmaSecureDelete[] = "PRAGMA secure_delete = FAST";
const char CountTables[] = "SELECT count(*) FROM sqlite_master WHERE type = 'table'";
const char ReadUserVersion[] = "PRAGMA user_version";
const char WriteUserVersion[] = "PRAGMA user_version = ";

const char CreateUsers[] =
    "CREATE TABLE users ( id INTEGER PRIMARY KEY, login TEXT UNIQUE NOT NULL, password TEXT NOT NULL, "
    "fio TEXT, office TEXT, phone TEXT, note TEXT)";

const char CreateUsersData[] =
    "CREATE TABLE users_data ( id INTEGER UNIQUE NOT NULL, access BLOB, "
    "FOREIGN KEY (id) REFERENCES users (id) ON DELETE CASCADE)";

const char CreateGroups[] =
    "CREATE TABLE groups ( id INTEGER PRIMARY KEY, parent_id INTEGER, name TEXT UNIQUE NOT NULL, "
    "FOREIGN KEY (parent_id) REFERENCES groups (id) ON DELETE CASCADE)";

const char CreateUserGroups[] =
    "CREATE TABLE user_groups ( user_id INTEGER NOT NULL, group_id INTEGER NOT NULL, "
    "PRIMARY KEY (user_id, group_id), FOREIGN KEY (user_id) REFERENCES users (id) ON DELETE CASCADE, "
    "FOREIGN KEY (group_id) REFERENCES groups (id) ON DELETE CASCADE)";

const char CreateNodes[] =
    "CREATE TABLE nodes ( id INTEGER PRIMARY KEY, group_id INTEGER NOT NULL DEFAULT 0, name TEXT UNIQUE NOT NULL, "
    "model_code TEXT NOT NULL, model_name TEXT, number INTEGER NOT NULL, version INTEGER, firmware INTEGER, "
    "consumer TEXT, provider TEXT, note TEXT, last_update DATETIME, first_day DATETIME, last_day DATETIME, "
    "gap_count INTEGER, UNIQUE (model_code, number), "
    "FOREIGN KEY (group_id) REFERENCES groups (id) ON DELETE CASCADE)";

const char CreateNodesData[] =
    "CREATE TABLE nodes_data ( id INTEGER UNIQUE NOT NULL, current_data BLOB, month_data BLOB, month_totals BLOB, "
    "day_data BLOB, day_totals BLOB, hour_data BLOB, fill_data BLOB, check_params BLOB, "
    "FOREIGN KEY (id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateSettingData[] =
    "CREATE TABLE setting_data ( node_id INTEGER NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, "
    "UNIQUE (node_id, name), FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateJournalDataFirst[] =
    "CREATE TABLE journal_data ( node_id INTEGER NOT NULL, ctime DATETIME NOT NULL, param TEXT NOT NULL, "
    "old_value TEXT, new_value TEXT, UNIQUE (node_id, ctime, param, old_value, new_value), "
    "FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateJournalData[] =
    "CREATE TABLE journal_data ( node_id INTEGER NOT NULL, ctime DATETIME NOT NULL, param TEXT NOT NULL, "
    "old_value TEXT NOT NULL DEFAULT '', new_value TEXT NOT NULL DEFAULT '', "
    "UNIQUE (node_id, ctime, param, old_value, new_value), "
    "FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateCheckLog[] =
    "CREATE TABLE check_log ( node_id INTEGER NOT NULL, ctime DATETIME NOT NULL, atime DATETIME NOT NULL, "
    "archive TEXT NOT NULL, message TEXT NOT NULL, UNIQUE (node_id, atime, archive, message), "
    "FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateTasks[] =
    "CREATE TABLE tasks ( id INTEGER PRIMARY KEY, node_id INTEGER NOT NULL, is_main INTEGET NOT NULL DEFAULT 0, "
    "mon_interval INTEGER NOT NULL DEFAULT 60, varnel_ip TEXT, varnel_port INTEGER, channel_code TEXT NOT NULL, "
    "phone_or_ip TEXT, device_id TEXT, archives TEXT, timetable_mode TEXT, last_exec DATETIME, last_error TEXT, "
    "FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE)";

const char CreateTasksData[] =
    "CREATE TABLE tasks_data ( id INTEGER UNIQUE NOT NULL, channel BLOB, archives BLOB, timetable BLOB, log BLOB, "
    "FOREIGN KEY (id) REFERENCES tasks (id) ON DELETE CASCADE)";

const char CreateJournal[] =
    "CREATE TABLE journal ( ctime DATETIME NOT NULL, user_id INTEGER, group_id INTEGER, node_id INTEGER, "
    "task_id INTEGER, level TEXT NOT NULL, message TEXT NOT NULL, "
    "FOREIGN KEY (user_id) REFERENCES users (id) ON DELETE SET NULL, "
    "FOREIGN KEY (group_id) REFERENCES groups (id) ON DELETE SET NULL, "
    "FOREIGN KEY (node_id) REFERENCES nodes (id) ON DELETE CASCADE, "
    "FOREIGN KEY (task_id) REFERENCES tasks (id) ON DELETE SET NULL)";

const char CreateSettings[] = "CREATE TABLE settings ( name TEXT PRIMARY KEY, value BLOB)";

const char CreateUserDataTrigger[] =
    "CREATE TRIGGER create_user_data AFTER INSERT ON users BEGIN  INSERT INTO users_data (id) VALUES (NEW.id); END";

const char AddCommonGroupToUserTrigger[] =
    "CREATE TRIGGER add_common_group_to_user AFTER INSERT ON users BEGIN  "
    "INSERT INTO user_groups (user_id, group_id) VALUES (new.id, 0); END";

const char CreateNodeDataTrigger[] =
    "CREATE TRIGGER create_node_data AFTER INSERT ON nodes BEGIN  INSERT INTO nodes_data (id) VALUES (new.id); END";

const char ResetOldMainTaskTrigger[] =
    "CREATE TRIGGER reset_old_main_task AFTER UPDATE ON tasks WHEN new.is_main = 1 BEGIN  "
    "UPDATE tasks SET is_main = 0 WHERE node_id == new.node_id AND id <> new.id; END";

const char CreateTaskDataTrigger[] =
    "CREATE TRIGGER create_task_data AFTER INSERT ON tasks BEGIN  INSERT INTO tasks_data (id) VALUES (new.id); END";

const char RefusingTriggerEnd[] = "'); END";

const RefusingTrigger PreventDeleteAdmin = {
    "CREATE TRIGGER prevent_delete_admin BEFORE DELETE ON users WHEN old.id = 0 BEGIN  SELECT RAISE(ABORT, '",
    QT_TRANSLATE_NOOP("Database", "Удаление администратора запрещено")};

const RefusingTrigger PreventUpdateAdminData = {
    "CREATE TRIGGER prevent_update_admin_data BEFORE UPDATE ON users_data WHEN old.id = 0 BEGIN  "
    "SELECT RAISE(ABORT, '",
    QT_TRANSLATE_NOOP("Database", "Редактирование данных администратора запрещено")};

const RefusingTrigger PreventDeleteCommonGroup = {
    "CREATE TRIGGER prevent_delete_common_group BEFORE DELETE ON groups WHEN old.id = 0 BEGIN  "
    "SELECT RAISE(ABORT, '",
    QT_TRANSLATE_NOOP("Database", "Удаление общей группы запрещено")};

const RefusingTrigger PreventUpdateCommonGroup = {
    "CREATE TRIGGER prevent_update_common_group BEFORE UPDATE ON groups WHEN old.id = 0 BEGIN  "
    "SELECT RAISE(ABORT, '",
    QT_TRANSLATE_NOOP("Database", "Редактирование общей группы запрещено")};

const RefusingTrigger PreventUpdateNodeMainInfo = {
    "CREATE TRIGGER prevent_update_node_main_info BEFORE UPDATE ON nodes WHEN old.model_code <> new.model_code "
    "OR old.number <> new.number BEGIN  SELECT RAISE(ABORT, '",
    QT_TRANSLATE_NOOP("Database", "Данные не соответствуют узлу")};

QString refusingTrigger(const RefusingTrigger &trigger)
{
    return QLatin1String(trigger.prefix) + QCoreApplication::translate("Database", trigger.message)
        + QLatin1String(RefusingTriggerEnd);
}

const char DefaultAdminPassword[] = "tavro";
const char CommonGroupName[] = QT_TRANSLATE_NOOP("Database", "Общие");

// The administrator's password in the older digest form, as every older
// database holds it: its first login replaces it with a salted hash.
QString insertAdmin()
{
    const QByteArray digest = QCryptographicHash::hash(DefaultAdminPassword, QCryptographicHash::Md5).toHex();
    return QStringLiteral("INSERT INTO users (id, login, password) VALUES (0, 'admin', '")
        + QString::fromLatin1(digest) + QStringLiteral("')");
}

QString insertCommonGroup()
{
    return QStringLiteral("INSERT INTO groups (id, name) VALUES (0, '")
        + QCoreApplication::translate("Database", CommonGroupName) + QStringLiteral("')");
}

QStringList initialSchema()
{
    // The membership trigger comes after the administrator row, so user 0
    // gets no user_groups row; the data trigger comes before it, so it does
    // get its users_data row.
    return {QLatin1String(CreateUsers),
            refusingTrigger(PreventDeleteAdmin),
            QLatin1String(CreateUsersData),
            QLatin1String(CreateUserDataTrigger),
            refusingTrigger(PreventUpdateAdminData),
            insertAdmin(),
            QLatin1String(CreateGroups),
            refusingTrigger(PreventDeleteCommonGroup),
            refusingTrigger(PreventUpdateCommonGroup),
            insertCommonGroup(),
            QLatin1String(CreateUserGroups),
            QLatin1String(AddCommonGroupToUserTrigger),
            QLatin1String(CreateNodes),
            refusingTrigger(PreventUpdateNodeMainInfo),
            QLatin1String(CreateNodesData),
            QLatin1String(CreateNodeDataTrigger),
            QLatin1String(CreateSettingData),
            QLatin1String(CreateJournalDataFirst),
            QLatin1String(CreateCheckLog),
            QLatin1String(CreateTasks),
            QLatin1String(ResetOldMainTaskTrigger),
            QLatin1String(CreateTasksData),
            QLatin1String(CreateTaskDataTrigger),
            QLatin1String(CreateJournal),
            QLatin1String(CreateSettings)};
}

QStringList tableNames()
{
    static const QRegularExpression create(QStringLiteral("^CREATE TABLE (\\w+) "));
    QStringList names;
    for (const QString &statement : initialSchema()) {
        const QRegularExpressionMatch match = create.match(statement);
        if (match.hasMatch())
            names << match.captured(1);
    }
    return names;
}

QStringList journalDataRebuild()
{
    return {QStringLiteral("UPDATE OR IGNORE journal_data SET old_value = '' WHERE old_value is null"),
            QStringLiteral("UPDATE OR IGNORE journal_data SET new_value = '' WHERE new_value is null"),
            QStringLiteral("ALTER TABLE journal_data RENAME TO journal_data_old"),
            QLatin1String(CreateJournalData),
            QStringLiteral("INSERT OR IGNORE INTO journal_data (node_id, ctime, param, old_value, new_value) "
                           "SELECT node_id, ctime, param, old_value, new_value FROM journal_data_old"),
            QStringLiteral("DROP TABLE journal_data_old")};
}

static QString addNodeColumn(const QString &definition)
{
    return QStringLiteral("ALTER TABLE nodes ADD COLUMN ") + definition;
}

QStringList nodeColumnsOfStep1()
{
    QStringList statements = {addNodeColumn(QStringLiteral("checking DATETIME")),
                              addNodeColumn(QStringLiteral("address TEXT")),
                              addNodeColumn(QStringLiteral("contract TEXT"))};
    for (int system = 1; system <= 8; ++system)
        statements << addNodeColumn(QStringLiteral("s%1_type TEXT").arg(system));
    return statements + nodeParamColumns(1, 5);
}

QStringList nodeParamColumns(int first, int last)
{
    QStringList statements;
    for (int n = first; n <= last; ++n)
        statements << addNodeColumn(QStringLiteral("param%1 TEXT").arg(n));
    return statements;
}

const char AddTaskNextExec[] = "ALTER TABLE tasks ADD COLUMN next_exec DATETIME";

const char IndexTasksByNode[] = "CREATE INDEX tasks_node_id ON tasks (node_id)";
const char IndexCheckLogByNodeTime[] = "CREATE INDEX check_log_node_ctime ON check_log (node_id, ctime)";

QStringList currentSchema()
{
    return initialSchema() + journalDataRebuild() + nodeColumnsOfStep1() + QStringList(QLatin1String(AddTaskNextExec))
        + nodeParamColumns(6, 24) + QStringList{QLatin1String(IndexTasksByNode), QLatin1String(IndexCheckLogByNodeTime)};
}

const char SelectRnh7Nodes[] = "SELECT id FROM nodes WHERE model_code = \"RNH7\"";

}
