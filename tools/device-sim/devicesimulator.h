#pragma once

#include "simjob.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QVariant>

// The simulated device polling server: the job table behind the eight
// requests of the polling conversation, and counters for tests.
//   createTask(channel, driver)       -> job id
//   setCommand(job, "readArchive", {"data": [...], "firstDate": date-time})
//   startTask(job), cancelTask(job), removeTask(job)   -> true
//   getState(job)    -> [job, finished, progress 0..100, state text]
//   takeLog(job)     -> [job, lines since the last call]
//   getResult(job)   -> [job, true, [archive tables]] or [job, false, error text]
//   getStats()       -> {"maxRunning": {channel key: most jobs run at once},
//                        "maxRunningTotal": most jobs run at once on all channels,
//                        "created": jobs created, "alive": jobs not removed,
//                        "cancelRequests": cancelTask requests, "runs": {device: jobs}}
//   resetStats()     -> true
// The replies may grow by further list elements or map keys; clients read
// what they know and ignore the rest. Main thread only, like the RPC
// server's commands.
class DeviceSimulator
{
    Q_DECLARE_TR_FUNCTIONS(DeviceSimulator)

public:
    struct Options
    {
        double speed = 1.0;      // runs take 1/speed of their time
        bool instant = false;    // runs end as they start
        int depthDays = 62;      // read without a first date
        int overlapDays = 0;     // read at least this far back
    };

    // Process-wide: the program's RPC commands are static registrations that share one job table.
    static DeviceSimulator &instance();
    void setOptions(const Options &options) { m_options = options; }

    ZeltoResult<QVariant> createTask(const QVariantList &params);
    ZeltoResult<QVariant> setCommand(const QVariantList &params);
    ZeltoResult<QVariant> startTask(const QVariantList &params);
    ZeltoResult<QVariant> cancelTask(const QVariantList &params);
    ZeltoResult<QVariant> getState(const QVariantList &params);
    ZeltoResult<QVariant> takeLog(const QVariantList &params);
    ZeltoResult<QVariant> getResult(const QVariantList &params);
    ZeltoResult<QVariant> removeTask(const QVariantList &params);
    ZeltoResult<QVariant> getStats(const QVariantList &params);
    ZeltoResult<QVariant> resetStats(const QVariantList &params);

private:
    // The job the first parameter names, moved on to now; refused if none.
    ZeltoResult<SimJob *> job(const QVariantList &params);
    int durationMs(const SimJob &job) const;
    void noteRunning(const SimJob &job, const QDateTime &now);

    Options m_options;
    int m_nextId = 1;
    QMap<int, SimJob> m_jobs;
    QHash<QString, int> m_runs;              // jobs created per device
    QHash<QString, int> m_maxRunning;        // per channel key
    int m_maxRunningTotal = 0;
    QHash<QString, QList<int>> m_runningJobs;  // jobs started per channel key
    QList<int> m_runningAll;
    int m_created = 0;
    int m_cancelRequests = 0;
};
