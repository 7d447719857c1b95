#include "zeltobusyguard.h"

#include <QList>
#include <QPointer>

namespace {

struct Deferred
{
    QPointer<QObject> context;
    std::function<void()> work;
};

// Per thread: each thread turns its own event loop.
thread_local int t_depth = 0;
thread_local QList<Deferred> *t_deferred = nullptr;

void runOrDeferAgain(QObject *context, const std::function<void()> &work)
{
    if (!ZeltoBusyGuard::defer(context, work))
        work();
}

} // namespace

ZeltoBusyGuard::ZeltoBusyGuard()
{
    ++t_depth;
}

ZeltoBusyGuard::~ZeltoBusyGuard()
{
    if (--t_depth > 0 || !t_deferred)
        return;
    // Posted rather than run here: the guard ends deep inside the work it
    // guarded, and what waited must start from the event loop.
    const QList<Deferred> waiting = *t_deferred;
    delete t_deferred;
    t_deferred = nullptr;
    for (const Deferred &item : waiting) {
        QObject *context = item.context.data();
        if (!context)
            continue;
        const std::function<void()> work = item.work;
        QMetaObject::invokeMethod(context, [context, work]() { runOrDeferAgain(context, work); }, Qt::QueuedConnection);
    }
}

bool ZeltoBusyGuard::isBusy()
{
    return t_depth > 0;
}

bool ZeltoBusyGuard::defer(QObject *context, std::function<void()> work)
{
    if (t_depth == 0)
        return false;
    if (!t_deferred)
        t_deferred = new QList<Deferred>;
    t_deferred->append({context, std::move(work)});
    return true;
}
