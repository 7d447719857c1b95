#pragma once

#include <QLatin1String>
#include <QString>

// The change notifications of the server, declared once. Writers raise them
// with ZeltoSystem::notify(name, id), where id is the int id of the record
// concerned; the layers that follow them receive ZeltoSystem::notification
// through queued connections. The task, node and group events also reach
// clients under these names, as the change events takeChangeEvents returns:
// a name is part of the protocol and never changes.
namespace ChangeEvents {

inline constexpr QLatin1String UserSaved("userSaved");
inline constexpr QLatin1String UserRemoved("userRemoved");
inline constexpr QLatin1String GroupSaved("groupSaved");
inline constexpr QLatin1String GroupRemoved("groupRemoved");
inline constexpr QLatin1String NodeSaved("nodeSaved");
inline constexpr QLatin1String NodeRemoved("nodeRemoved");
inline constexpr QLatin1String TaskSaved("taskSaved");
inline constexpr QLatin1String TaskRemoved("taskRemoved");
// A run of the task was queued, changed its state or ended.
inline constexpr QLatin1String TaskStateChanged("taskStateChanged");
// A poll's archives were merged into the node's (NodeSaved follows).
inline constexpr QLatin1String ArchivesSaved("archivesSaved");
// The data monitor refreshed the node's current values.
inline constexpr QLatin1String NodeMonitored("nodeMonitored");

// Whether clients see the event: those of tasks, nodes and groups.
inline bool reachesClients(const QString &name)
{
    for (const QLatin1String event :
         {TaskSaved, TaskRemoved, TaskStateChanged, NodeSaved, NodeRemoved, NodeMonitored, GroupSaved, GroupRemoved}) {
        if (name == event)
            return true;
    }
    return false;
}

} // namespace ChangeEvents
