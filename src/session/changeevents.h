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

// A name as a constant expression (QLatin1String(const char *) counts with strlen).
template <int N>
constexpr QLatin1String literal(const char (&text)[N])
{
    return QLatin1String(text, N - 1);
}

inline constexpr QLatin1String UserSaved = literal("userSaved");
inline constexpr QLatin1String UserRemoved = literal("userRemoved");
inline constexpr QLatin1String GroupSaved = literal("groupSaved");
inline constexpr QLatin1String GroupRemoved = literal("groupRemoved");
inline constexpr QLatin1String NodeSaved = literal("nodeSaved");
inline constexpr QLatin1String NodeRemoved = literal("nodeRemoved");
inline constexpr QLatin1String TaskSaved = literal("taskSaved");
inline constexpr QLatin1String TaskRemoved = literal("taskRemoved");
// A run of the task was queued, changed its state or ended.
inline constexpr QLatin1String TaskStateChanged = literal("taskStateChanged");
// Read archives were merged into the node's (a poll, an import); NodeSaved follows.
inline constexpr QLatin1String ArchivesSaved = literal("archivesSaved");
// The data monitor refreshed the node's current values.
inline constexpr QLatin1String NodeMonitored = literal("nodeMonitored");

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
