#include "zeltocommand.h"

#include <QHash>
#include <QMutex>

namespace {

// Function-local so that static command objects in any translation unit can
// register during static initialisation.
struct Registry
{
    QMutex mutex;
    QList<ZeltoCommand *> ordered;
    QHash<QString, ZeltoCommand *> byName;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

} // namespace

ZeltoCommand::ZeltoCommand(const QString &name, int paramCount) : m_name(name), m_paramCount(paramCount)
{
    Registry &r = registry();
    QMutexLocker locker(&r.mutex);
    r.ordered.append(this);
    // A later command of the same name takes over the name.
    r.byName.insert(name, this);
}

ZeltoCommand::~ZeltoCommand()
{
    Registry &r = registry();
    QMutexLocker locker(&r.mutex);
    r.ordered.removeOne(this);
    if (r.byName.value(m_name) == this) {
        r.byName.remove(m_name);
        for (ZeltoCommand *other : qAsConst(r.ordered)) {
            if (other->m_name == m_name)
                r.byName.insert(m_name, other);
        }
    }
}

ZeltoCommand *ZeltoCommand::find(const QString &name)
{
    Registry &r = registry();
    QMutexLocker locker(&r.mutex);
    return r.byName.value(name);
}
