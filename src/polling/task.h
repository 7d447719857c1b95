#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"
#include "zeltotasktoken.h"

#include <QMutex>
#include <QObject>
#include <QRunnable>
#include <QStringList>
#include <QVariantMap>

#include <atomic>

class ZeltoClient;

// One polling run on a pool thread: creates a job for one device on the
// device polling server, starts it, follows its state every second until it
// ends, takes its log and its result, and removes it. Progress, state text,
// errors and cancelling go through the token; stateChanged after every state
// poll and finished at the end reach the task manager by queued connections.
// The pool does not delete a task: the task manager runs the same object
// again for a retry and deletes it after the last run.
//
// The conversation, one RPC request at a time, each answered within
// replyTimeout (10 s):
//   createTask(channel, driver)        -> job id (integer)
//   setCommand(job, command, params)   -> anything
//   startTask(job)                     -> anything
//   cancelTask(job)                    -> anything; sent once, when cancelled
//   getState(job)                      -> [_, finished (bool), progress (0..100), state text]
//                                         (shorter lists: not finished yet)
//   takeLog(job)                       -> [_, log lines]
//   getResult(job)                     -> [_, true, [archive tables]] or [_, false, error text]
//   removeTask(job)                    -> ignored
// A reply of another shape fails the run: a server that answers garbage
// must not leave a run polling forever or storing an empty result. Longer
// lists are accepted and their further elements ignored, so a server may
// add to its replies without breaking older data servers.
class Task : public QObject, public QRunnable
{
    Q_OBJECT

public:
    explicit Task(QObject *parent = nullptr);

    void run() override;

    // Callable from any thread while or after the task runs.
    QString state() const { return m_token.state(); }
    int progress() const { return m_token.progress(); }
    QString errorString() const { return m_token.errorString(); }
    bool isCanceled() const { return m_token.isCanceled(); }
    bool isFailed() const { return m_token.isFailed(); }
    bool isRunning() const { return m_running; }
    bool isDone() const { return m_done; }
    bool isAborted() const { return m_aborted; }
    // The job is cancelled on the server, followed to its end and removed.
    void cancel() { m_token.cancel(); }
    // Stops waiting at once, leaving the job on the server: for shutdown,
    // when a server that does not answer must not hold the process, and for
    // a run the task manager has ended, which must not hold its pool thread.
    void abort();

    QVariantMap params() const;
    void setParams(const QVariantMap &params);
    ZeltoTableMap result() const;
    QStringList log() const;

    // 10 s; tests of a server that never answers shorten it.
    void setReplyTimeout(int ms) { m_replyTimeoutMs = ms; }

    // The device polling server of the parameters: "varnel_ip" or
    // "localhost"; "varnel_port", else "Server/port" of varnel.ini in the
    // home folder, else 5411.
    static QString host(const QVariantMap &params);
    static quint16 port(const QVariantMap &params);

signals:
    void stateChanged(Task *task);
    void finished(Task *task);

protected:
    // For runs that do not talk to a server (tests): begin() and end()
    // bracket a run, as run() does.
    void begin();
    void end();
    ZeltoTaskToken &token() { return m_token; }
    void setResult(const ZeltoTableMap &result);
    void setLog(const QStringList &log);

private:
    void converse();
    // One request and its reply; false (with the token's error set) on failure.
    bool call(ZeltoClient &client, const QString &name, const QVariantList &args, QVariant *reply = nullptr);
    // The same, leaving the token alone: why it failed.
    ZeltoStatus send(ZeltoClient &client, const QString &name, const QVariantList &args, QVariant *reply = nullptr);
    bool fail(const QString &text);
    bool pause(int ms);   // false when aborted meanwhile
    bool readState(const QVariant &reply, bool &finished);
    bool readResult(const QVariant &reply);

    ZeltoTaskToken m_token;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_aborted{false};
    std::atomic<int> m_replyTimeoutMs{10000};
    mutable QMutex m_mutex;   // guards m_params, m_result and m_log
    QVariantMap m_params;
    ZeltoTableMap m_result;
    QStringList m_log;
};
