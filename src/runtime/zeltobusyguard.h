#pragma once

#include <QObject>

#include <functional>

// Marks the calling thread as busy with work that may turn its event loop
// (a check script processes events every few milliseconds) and that must not
// be entered again from there: a client request, the save of a finished
// polling run, a maintenance timer. Such work first asks defer(); while a
// guard is alive it is queued and runs from the event loop once the
// outermost guard has ended, in the order it was deferred.
class ZeltoBusyGuard
{
public:
    ZeltoBusyGuard();
    ~ZeltoBusyGuard();
    ZeltoBusyGuard(const ZeltoBusyGuard &) = delete;
    ZeltoBusyGuard &operator=(const ZeltoBusyGuard &) = delete;

    static bool isBusy();

    // False when the thread is not busy: the caller goes on at once.
    // Otherwise queues work to run on context's thread after the outermost
    // guard ends (work defers itself again if a guard is alive by then) and
    // returns true. Work whose context is gone by then is dropped.
    static bool defer(QObject *context, std::function<void()> work);
};
