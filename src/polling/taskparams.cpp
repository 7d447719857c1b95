#include "taskparams.h"

#include <QDateTime>
#include <QVariantList>

QVariantMap TaskParams::build(const QVariantMap &taskRow, const QVariantMap &channel, const QStringList &archives,
                              const QVariantMap &nodeRow, const QString &driverCode, bool monitor)
{
    QVariantMap read;
    if (monitor) {
        read.insert(QStringLiteral("data"), QVariantList{QStringLiteral("currentData")});
    } else {
        read.insert(QStringLiteral("data"), archives);
        const QVariant lastDay = nodeRow.value(QStringLiteral("last_day"));
        if (!lastDay.isNull() && lastDay.toDateTime().isValid())
            read.insert(QStringLiteral("firstDate"), lastDay.toDateTime().addDays(1));
    }
    return {{QStringLiteral("varnel_ip"), taskRow.value(QStringLiteral("varnel_ip"))},
            {QStringLiteral("varnel_port"), taskRow.value(QStringLiteral("varnel_port"))},
            {QStringLiteral("channel"), channel},
            {QStringLiteral("driver"), QVariantMap{{QStringLiteral("code"), driverCode}}},
            {QStringLiteral("command"), QStringLiteral("readArchive")},
            {QStringLiteral("params"), read}};
}

QString TaskParams::channelKey(const QVariantMap &channel)
{
    static const QStringList perDevice = {QStringLiteral("code"),        QStringLiteral("initString"),
                                          QStringLiteral("phoneNumber"), QStringLiteral("baudRate"),
                                          QStringLiteral("readTimeout"), QStringLiteral("charTimeout"),
                                          QStringLiteral("slaveAddress")};
    QString key;
    for (auto it = channel.constBegin(); it != channel.constEnd(); ++it) {
        if (!perDevice.contains(it.key()))
            key += it.value().toString();
    }
    return key;
}
