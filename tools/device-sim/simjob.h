#pragma once

#include "simdevice.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

// One polling job of the simulator: created for a device, given its
// command, started, and then advancing with the clock through the phases of
// a session with the meter (connecting, one phase per archive read) until
// it ends, fails or is cancelled. Its state is worked out whenever it is
// asked for, so no timer runs while jobs wait.
class SimJob
{
    Q_DECLARE_TR_FUNCTIONS(SimJob)

public:
    SimJob(int id, const SimDevice &device, bool faulty, const QString &channelKey);

    int id() const { return m_id; }
    const SimDevice &device() const { return m_device; }
    QString channelKey() const { return m_channelKey; }
    bool faulty(int fault) const { return m_faulty && (m_device.faults() & fault); }

    // A refusal with its reason when the job cannot take the command or start.
    ZeltoStatus setCommand(const QString &command, const QVariant &params);
    ZeltoStatus start(const QDateTime &now, int durationMs);
    bool isStarted() const { return m_started.isValid(); }
    void cancel(const QDateTime &now);

    // The archive names asked for, as setCommand received them.
    QStringList data() const { return m_data; }
    QDateTime firstDate() const { return m_firstDate; }

    // Moves the job on to `now`: progress, state text, new log lines.
    void advance(const QDateTime &now);
    bool isFinished() const { return m_finished; }
    bool succeeded() const { return m_finished && !m_cancelled && m_error.isEmpty(); }
    QString error() const { return m_error; }
    int progress() const { return m_progress; }
    QString state() const { return m_state; }
    // When it ended, or is planned to end; invalid before the start.
    QDateTime endTime() const;

    QStringList takeLog();
    void addLog(const QStringList &lines);

    // The result, read once the job has succeeded.
    bool hasResult() const { return m_hasResult; }
    ZeltoTableMap result() const { return m_result; }
    void setResult(const ZeltoTableMap &result);

private:
    struct Phase
    {
        int percent;
        QString text;
    };
    void note(const QDateTime &at, const QString &text);

    int m_id;
    SimDevice m_device;
    bool m_faulty;
    QString m_channelKey;
    QStringList m_data;
    QDateTime m_firstDate;
    bool m_hasCommand = false;
    QList<Phase> m_phases;
    int m_nextPhase = 0;
    QDateTime m_started;
    qint64 m_durationMs = 0;
    QDateTime m_cancelledAt;
    bool m_cancelled = false;
    bool m_finished = false;
    int m_progress = 0;
    QString m_state;
    QString m_error;
    QStringList m_log;
    bool m_hasResult = false;
    ZeltoTableMap m_result;
};
