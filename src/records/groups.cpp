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

ZeltoTable Groups::list()
{
    QVariantList values;
    const QString visible = Visibility::groupCondition("id", values);
    return Database::selectTable(QStringLiteral("SELECT * FROM groups WHERE ") + visible
                                     + QStringLiteral(" ORDER BY name"),
                                 values);
}

QVariantMap Groups::get(int id)
{
    QVariantList values{id};
    const QString visible = Visibility::groupCondition("id", values);
    return Database::selectRecord(QStringLiteral("SELECT * FROM groups WHERE id = ? AND ") + visible, values);
}

int Groups::save(const QVariantMap &input)
{
    TransactionScope scope;
    if (!scope.isActive())
        return -1;
    QVariantMap record;
    if (!RecordFields::copyVisibleId(input, record, [](int id) { return !get(id).isEmpty(); }))
        return -1;
    if (!RecordFields::copy(input, record, {QStringLiteral("name")}) || !FieldLimits::check(FieldLimits::Group, record))
        return -1;
    const int id = Database::saveRecord(QStringLiteral("groups"), record);
    if (id == -1)
        return -1;
    // A restricted creator must be able to see what they created.
    if (!record.contains(kId) && !User::isUnrestricted()
        && !Database::execute(QStringLiteral("INSERT INTO user_groups (user_id, group_id) VALUES (?, ?)"),
                              {User::currentUserId(), id}))
        return -1;
    if (!scope.commit())
        return -1;
    ZeltoSystem::instance()->notify(ChangeEvents::GroupSaved, id);
    return id;
}

bool Groups::remove(int id)
{
    if (get(id).isEmpty())
        return User::denyAccess();
    // The cascade takes the nodes and tasks with it, so their ids are
    // collected first.
    const QVariantList nodeIds = Database::selectDistinctValues(QStringLiteral("nodes"), QStringLiteral("id"),
                                                                QStringLiteral("group_id = ?"), {id});
    const QVariantList taskIds = Database::selectDistinctValues(
        QStringLiteral("tasks, nodes"), QStringLiteral("tasks.id"),
        QStringLiteral("tasks.node_id = nodes.id AND nodes.group_id = ?"), {id});
    if (!Database::removeRecord(QStringLiteral("groups"), id))
        return false;
    ZeltoSystem::instance()->notify(ChangeEvents::GroupRemoved, id);
    notifyEach(ChangeEvents::NodeRemoved, nodeIds);
    notifyEach(ChangeEvents::TaskRemoved, taskIds);
    return true;
}
