#pragma once

#include "metervalues.h"
#include "zeltostatus.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// A simulated meter, as the channel map of a job describes it:
//   "deviceId"      the device number (an integer): the values follow it; the
//                   polled node must carry the same number
//   "model"         one of the driver's models (default: its first)
//   "fault"         failure modes, comma separated (or a list):
//                     noAnswer  the meter does not answer: after "readTimeout"
//                               ms (default 3000) the job fails
//                     refused   the connection to the meter is refused at once
//                     error     the job fails with "faultText"
//                     empty     the job succeeds without data
//                     clockOff  the meter clock is off by "clockOffset" minutes
//                               (default 45)
//                     gaps      about one record in twenty is missing
//                     silent    the server never answers the job's state requests
//                     badReply  the server answers them with a wrong type
//                     hang      the job never ends: every state request says
//                               it runs, and cancelTask is answered but ignored
//                     badCell   a cell of the result's first archive row
//                               holds a list, which no archive may hold
//   "failCount"     the faults hit only the first N runs of the device
//   "failEvery"     the faults hit runs 1, N+1, 2N+1, ... of the device (a
//                   device that fails now and then; wins over failCount)
//   "runSeconds"    a run takes this long, whatever the speed
//   "archiveDepth", "readArchiveDepth"
//                   days read when the request gives no first date
class SimDevice
{
    Q_DECLARE_TR_FUNCTIONS(SimDevice)

public:
    enum Fault {
        NoAnswer = 0x01, Refused = 0x02, Error = 0x04, Empty = 0x08,
        ClockOff = 0x10, Gaps = 0x20, Silent = 0x40, BadReply = 0x80, Hang = 0x100, BadCell = 0x200
    };

    // A refusal with its reason for a driver the catalogue does not know, a
    // channel it does not work over, or a bad setting.
    ZeltoStatus read(const QVariantMap &channel, const QVariantMap &driver);

    QString driver() const { return m_driver; }
    QString channel() const { return m_channel; }
    QString model() const { return m_model; }
    QString modelName() const;
    // The device number; 0 with hasNumber() false when the channel names none.
    qint64 number() const { return m_number; }
    bool hasNumber() const { return m_hasNumber; }
    // Who the device is for the simulator's counters: its number, or the channel.
    QString identity() const { return m_identity; }
    QList<int> systems() const;
    // Whether the model keeps daily and monthly totals (the QRV calculators do not).
    bool hasTotals() const;
    QStringList columns(MeterValues::Kind kind) const;

    int faults() const { return m_faults; }
    QString faultText() const { return m_faultText; }
    int failCount() const { return m_failCount; }
    int failEvery() const { return m_failEvery; }
    // Whether the device's faults hit its run number `run` (counted from 1).
    bool faultsHit(int run) const;
    int clockOffsetMinutes() const { return m_clockOffset; }
    int readTimeoutMs() const { return m_readTimeout; }
    int runSeconds() const { return m_runSeconds; }   // -1: by the server's speed
    int depthDays() const { return m_depthDays; }     // -1: the server's default

    // The fault names, for the help text.
    static QStringList faultNames();

private:
    ZeltoStatus readFaults(const QVariant &value);

    QString m_driver;
    QString m_channel;
    QString m_model;
    QString m_identity;
    qint64 m_number = 0;
    bool m_hasNumber = false;
    int m_faults = 0;
    QString m_faultText;
    int m_failCount = 0;
    int m_failEvery = 0;
    int m_clockOffset = 45;
    int m_readTimeout = 3000;
    int m_runSeconds = -1;
    int m_depthDays = -1;
};
