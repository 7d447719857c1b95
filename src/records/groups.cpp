#include "groups.h"

#include "changeevents.h"
#include "database.h"
#include "fieldlimits.h"
#include "recordfields.h"
#include "transactionscope.h"
#include "user.h"
#include "visibility.h"
#include "zeltosystem.h"

#include <QObject>

namespace {

const QString kId = QStringLiteral("id");

void notifyEach(const QString &name, const QVariantList &ids)
{
    for (const QVariant &id : ids)
        ZeltoSystem::instance()->notify(name, id.toInt());
}

} // namespace

ZeltoResult<ZeltoTable> Groups::list(const CommandContext &context)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = context.groupCondition("id", values);
    return context.database()->rows(QStringLiteral("SELECT * FROM groups WHERE ") + visible
                                        + QStringLiteral(" ORDER BY name"),
                                    values);
}

ZeltoResult<QVariantMap> Groups::find(const CommandContext &context, int id)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values{id};
    const QString visible = context.groupCondition("id", values);
    return context.database()->row(QStringLiteral("SELECT * FROM groups WHERE id = ? AND ") + visible, values);
}

ZeltoResult<int> Groups::save(const CommandContext &context, const QVariantMap &input)
{
    if (!context.database())
        return CommandContext::noDatabase();
    Database &database = *context.database();
    TransactionScope scope(database, QStringLiteral("saveGroup"));
    if (!scope.isActive())
        return scope.status();
    QVariantMap record;
    // A query that fails while the id is checked is that failure, not a refusal.
    const auto visible = [&](int id) -> ZeltoResult<bool> {
        const ZeltoResult<QVariantMap> group = find(context, id);
        if (!group.ok())
            return group.status();
        return !group.value().isEmpty();
    };
    ZeltoStatus checked = RecordFields::copyVisibleId(input, record, visible);
    if (checked.ok())
        checked = RecordFields::copy(input, record, {QStringLiteral("name")});
    if (checked.ok())
        checked = FieldLimits::check(FieldLimits::Group, record);
    if (!checked.ok())
        return checked;
    const ZeltoResult<int> id = database.save(QStringLiteral("groups"), record);
    if (!id.ok())
        return id;
    // A restricted creator must be able to see what they created.
    if (!record.contains(kId) && !context.isUnrestricted()) {
        const ZeltoStatus member = database.run(QStringLiteral("INSERT INTO user_groups (user_id, group_id) VALUES (?, ?)"),
                                                {context.userId(), id.value()});
        if (!member.ok())
            return member;
    }
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok())
        return committed;
    ZeltoSystem::instance()->notify(ChangeEvents::GroupSaved, id.value());
    return id;
}

ZeltoStatus Groups::remove(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> group = User::seen(find(context, id));
    if (!group.ok())
        return group.status();
    Database &database = *context.database();
    // The cascade takes the nodes and tasks with it, so their ids are
    // collected first.
    const ZeltoResult<ZeltoTable> nodes = database.rows(QStringLiteral("SELECT id FROM nodes WHERE group_id = ?"), {id});
    if (!nodes.ok())
        return nodes.status();
    const ZeltoResult<ZeltoTable> tasks = database.rows(
        QStringLiteral("SELECT tasks.id FROM tasks, nodes WHERE tasks.node_id = nodes.id AND nodes.group_id = ?"), {id});
    if (!tasks.ok())
        return tasks.status();
    const ZeltoStatus removed = database.run(QStringLiteral("DELETE FROM groups WHERE id = ?"), {id});
    if (!removed.ok())
        return removed.withMessage(QStringLiteral("[-groups] ") + removed.message());
    ZeltoSystem::instance()->notify(ChangeEvents::GroupRemoved, id);
    notifyEach(ChangeEvents::NodeRemoved, nodes.value().columnValues(kId));
    notifyEach(ChangeEvents::TaskRemoved, tasks.value().columnValues(kId));
    return ZeltoStatus();
}

