#pragma once

#include <QDateTime>

#include <time.h>

// Qt 5 answers every local-time QDateTime conversion with a libc call that
// first re-reads the zone (when TZ is unset, a stat of /etc/localtime each
// time): microseconds per value, which would dominate an hourly archive.
// Between 1971 and 2036, where Qt itself works with localtime_r, this class
// converts with localtime_r wherever that gives Qt's own answer:
// - reading: a local QDateTime is its wall-clock time plus a daylight-saving
//   flag. It is built from the wall clock that localtime_r gives (one libc
//   call inside Qt, instead of three) and kept when Qt's flag agrees;
// - writing: the previous value's UTC offset is tried first and kept when
//   localtime_r confirms wall clock and flag, and the offset is the same 26
//   hours (farther than any offset change moves a clock) on either side, so
//   that the local time is unambiguous.
// Anything else is left to Qt.
// One instance serves one pass of reading or writing: it remembers the last
// offset seen and refreshes libc's idea of the zone once.
class ZeltoLocalTime
{
public:
    qint64 toEpoch(const QDateTime &dt);   // dt valid, in local time
    QDateTime fromEpoch(qint64 ms);        // a local-time QDateTime

private:
    void prepare();
    static bool steadyOffset(time_t secs, long offset);

    bool m_prepared = false;
    bool m_haveOffset = false;
    qint64 m_offsetMs = 0;
};
