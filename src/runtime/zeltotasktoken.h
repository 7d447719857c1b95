#pragma once

#include <QMutex>
#include <QString>

// State shared by a pool thread that runs a job and the main thread that
// follows it: progress, state text, error text, cancel and failure flags.
// Cancelling alone leaves the job cancelled but not failed; setError marks it
// failed and does not cancel it.
class ZeltoTaskToken
{
public:
    // Resets progress, state, error and the failure flag. With keepCancel a
    // cancel requested before a (re)run still holds, so that run ends at once.
    void clear(bool keepCancel = false);

    void cancel();
    bool isCanceled() const;

    void setError(const QString &text);
    bool isFailed() const;
    QString errorString() const;

    void setState(const QString &text);
    QString state() const;

    void setProgress(int percent);
    int progress() const;

private:
    mutable QMutex m_mutex;
    bool m_canceled = false;
    bool m_failed = false;
    int m_progress = 0;
    QString m_state;
    QString m_error;
};
