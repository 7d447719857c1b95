#include "postgresschema.h"

#include "schema.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

// SQLite's column types in PostgreSQL's words; everything else is the same.
QString translated(QString statement)
{
    static const QRegularExpression blob(QStringLiteral("\\bBLOB\\b"));
    static const QRegularExpression dateTime(QStringLiteral("\\bDATETIME\\b"));
    static const QRegularExpression integet(QStringLiteral("\\bINTEGET\\b"));
    static const QRegularExpression text(QStringLiteral("\\bTEXT\\b"));
    // Text compares and sorts byte by byte, as SQLite's BINARY does, whatever
    // the database's locale (stored times compare as text).
    statement.replace(text, QStringLiteral("TEXT COLLATE \"C\""));
    statement.replace(blob, QStringLiteral("BYTEA"));
    statement.replace(dateTime, QStringLiteral("TEXT COLLATE \"C\""));
    statement.replace(integet, QStringLiteral("INTEGER"));
    return statement;
}

// A trigger and its function: PostgreSQL's triggers run functions.
QStringList trigger(const QString &name, const QString &when, const QString &table, const QString &condition,
                    const QString &body)
{
    return {QStringLiteral("CREATE FUNCTION %1() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN %2 END $$")
                .arg(name, body),
            QStringLiteral("CREATE TRIGGER %1 %2 ON %3 FOR EACH ROW %4 EXECUTE FUNCTION %1()")
                .arg(name, when, table, condition.isEmpty() ? QString() : QStringLiteral("WHEN (%1)").arg(condition))};
}

// The refusal's text as the client reads it (the same as SQLite's).
QStringList refusing(const QString &name, const QString &when, const QString &table, const QString &condition,
                     const char *message)
{
    QString text = QCoreApplication::translate("Database", message);
    text.replace(QLatin1Char('\''), QStringLiteral("''"));
    return trigger(name, when, table, condition, QStringLiteral("RAISE EXCEPTION USING MESSAGE = '%1';").arg(text));
}

// SQLite's INTEGER PRIMARY KEY: an id left out is the largest plus one.
QStringList nextId(const QString &table)
{
    return trigger(table + QStringLiteral("_next_id"), QStringLiteral("BEFORE INSERT"), table,
                   QStringLiteral("NEW.id IS NULL"),
                   QStringLiteral("NEW.id := (SELECT coalesce(max(id), 0) + 1 FROM %1); RETURN NEW;").arg(table));
}

QStringList addsRow(const QString &name, const QString &table, const QString &insert)
{
    return trigger(name, QStringLiteral("AFTER INSERT"), table, QString(), insert + QStringLiteral("; RETURN NULL;"));
}

} // namespace

namespace PostgresSchema {

QStringList statements(int version)
{
    QStringList tables = {QLatin1String(Schema::CreateUsers),      QLatin1String(Schema::CreateUsersData),
                          QLatin1String(Schema::CreateGroups),     QLatin1String(Schema::CreateUserGroups),
                          QLatin1String(Schema::CreateNodes),      QLatin1String(Schema::CreateNodesData),
                          QLatin1String(Schema::CreateSettingData), QLatin1String(Schema::CreateJournalData),
                          QLatin1String(Schema::CreateCheckLog),   QLatin1String(Schema::CreateTasks),
                          QLatin1String(Schema::CreateTasksData),  QLatin1String(Schema::CreateJournal),
                          QLatin1String(Schema::CreateSettings)};
    // The columns the steps up to version 7 added, in their order.
    tables << Schema::nodeColumnsOfStep1() << QLatin1String(Schema::AddTaskNextExec) << Schema::nodeParamColumns(6, 24);
    QStringList result;
    for (const QString &statement : qAsConst(tables))
        result << translated(statement);
    result << QStringLiteral("ALTER TABLE setting_data ADD COLUMN seq BIGSERIAL");
    // The indexes of step 8 read the same in both.
    result << QLatin1String(Schema::IndexTasksByNode) << QLatin1String(Schema::IndexCheckLogByNodeTime);

    for (const char *table : {"users", "groups", "nodes", "tasks"})
        result << nextId(QLatin1String(table));
    result << addsRow(QStringLiteral("create_user_data"), QStringLiteral("users"),
                      QStringLiteral("INSERT INTO users_data (id) VALUES (NEW.id)"))
           << addsRow(QStringLiteral("create_node_data"), QStringLiteral("nodes"),
                      QStringLiteral("INSERT INTO nodes_data (id) VALUES (NEW.id)"))
           << addsRow(QStringLiteral("create_task_data"), QStringLiteral("tasks"),
                      QStringLiteral("INSERT INTO tasks_data (id) VALUES (NEW.id)"))
           << trigger(QStringLiteral("reset_old_main_task"), QStringLiteral("AFTER UPDATE"), QStringLiteral("tasks"),
                      QStringLiteral("NEW.is_main = 1"),
                      QStringLiteral("UPDATE tasks SET is_main = 0 WHERE node_id = NEW.node_id AND id <> NEW.id; "
                                     "RETURN NULL;"))
           << refusing(QStringLiteral("prevent_delete_admin"), QStringLiteral("BEFORE DELETE"), QStringLiteral("users"),
                       QStringLiteral("OLD.id = 0"), Schema::PreventDeleteAdmin.message)
           << refusing(QStringLiteral("prevent_update_admin_data"), QStringLiteral("BEFORE UPDATE"),
                       QStringLiteral("users_data"), QStringLiteral("OLD.id = 0"), Schema::PreventUpdateAdminData.message)
           << refusing(QStringLiteral("prevent_delete_common_group"), QStringLiteral("BEFORE DELETE"),
                       QStringLiteral("groups"), QStringLiteral("OLD.id = 0"), Schema::PreventDeleteCommonGroup.message)
           << refusing(QStringLiteral("prevent_update_common_group"), QStringLiteral("BEFORE UPDATE"),
                       QStringLiteral("groups"), QStringLiteral("OLD.id = 0"), Schema::PreventUpdateCommonGroup.message)
           << refusing(QStringLiteral("prevent_update_node_main_info"), QStringLiteral("BEFORE UPDATE"),
                       QStringLiteral("nodes"),
                       QStringLiteral("OLD.model_code <> NEW.model_code OR OLD.number <> NEW.number"),
                       Schema::PreventUpdateNodeMainInfo.message);
    // The administrator is no member of the common group: its trigger comes after its row, as in SQLite.
    result << Schema::insertAdmin() << Schema::insertCommonGroup()
           << addsRow(QStringLiteral("add_common_group_to_user"), QStringLiteral("users"),
                      QStringLiteral("INSERT INTO user_groups (user_id, group_id) VALUES (NEW.id, 0)"))
           << QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL)")
           << QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(version);
    return result;
}

QString readVersion()
{
    return QStringLiteral("SELECT version FROM schema_version");
}

QString countTables()
{
    return QStringLiteral("SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema() "
                          "AND table_type = 'BASE TABLE'");
}

}
