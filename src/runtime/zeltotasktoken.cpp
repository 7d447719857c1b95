#include "zeltotasktoken.h"

void ZeltoTaskToken::clear(bool keepCancel)
{
    QMutexLocker locker(&m_mutex);
    if (!keepCancel)
        m_canceled = false;
    m_failed = false;
    m_progress = 0;
    m_state.clear();
    m_error.clear();
}

void ZeltoTaskToken::cancel()
{
    QMutexLocker locker(&m_mutex);
    m_canceled = true;
}

bool ZeltoTaskToken::isCanceled() const
{
    QMutexLocker locker(&m_mutex);
    return m_canceled;
}

void ZeltoTaskToken::setError(const QString &text)
{
    QMutexLocker locker(&m_mutex);
    m_failed = true;
    m_error = text;
}

bool ZeltoTaskToken::isFailed() const
{
    QMutexLocker locker(&m_mutex);
    return m_failed;
}

QString ZeltoTaskToken::errorString() const
{
    QMutexLocker locker(&m_mutex);
    return m_error;
}

void ZeltoTaskToken::setState(const QString &text)
{
    QMutexLocker locker(&m_mutex);
    m_state = text;
}

QString ZeltoTaskToken::state() const
{
    QMutexLocker locker(&m_mutex);
    return m_state;
}

void ZeltoTaskToken::setProgress(int percent)
{
    QMutexLocker locker(&m_mutex);
    m_progress = qBound(0, percent, 100);
}

int ZeltoTaskToken::progress() const
{
    QMutexLocker locker(&m_mutex);
    return m_progress;
}
