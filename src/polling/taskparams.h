#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

// The parameter map of one polling run, handed to the Task that talks to the
// device polling server:
//   "varnel_ip", "varnel_port"  the server's address from the task row (null: defaults)
//   "channel"                   the task's channel settings, unchanged
//   "driver"                    {"code": the driver of the node's model}
//   "command"                   "readArchive"
//   "params"                    {"data": archive names, "firstDate": the day after the
//                               node's last day, when it has one}; a monitor run reads
//                               {"data": ["currentData"]} only
// The device polling server ignores keys it does not know, so keys may be
// added; the meaning of these stays.
class TaskParams
{
public:
    static QVariantMap build(const QVariantMap &taskRow, const QVariantMap &channel, const QStringList &archives,
                             const QVariantMap &nodeRow, const QString &driverCode, bool monitor);

    // Runs whose channels give equal keys share a physical channel and never
    // run at once: the settings that tell devices on one line apart (phone
    // number, slave address) and those of the exchange itself are left out,
    // the other values are joined in key order.
    static QString channelKey(const QVariantMap &channel);
};
