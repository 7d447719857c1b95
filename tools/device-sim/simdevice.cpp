#include "simdevice.h"

#include "metadatacatalogue.h"

namespace {

const char *const kFaultNames[] = {"noAnswer", "refused", "error", "empty",   "clockOff",
                                   "gaps",     "silent",  "badReply", "hang", "badCell"};

// An optional whole-number setting of the channel; absent keeps the default.
ZeltoStatus readInt(const QVariantMap &channel, const char *key, int low, int high, int &value)
{
    const auto it = channel.constFind(QLatin1String(key));
    if (it == channel.constEnd() || it->isNull())
        return ZeltoStatus();
    bool ok = false;
    const qlonglong number = it->toString().trimmed().toLongLong(&ok);
    if (!ok || number < low || number > high)
        return ZeltoStatus::failed(SimDevice::tr("Неверное значение %1 в настройках канала: %2 (ожидается целое от %3 до %4)")
                          .arg(QLatin1String(key), it->toString().left(40))
                          .arg(low)
                          .arg(high));
    value = int(number);
    return ZeltoStatus();
}

} // namespace

QStringList SimDevice::faultNames()
{
    QStringList names;
    for (const char *name : kFaultNames)
        names.append(QLatin1String(name));
    return names;
}

ZeltoStatus SimDevice::read(const QVariantMap &channel, const QVariantMap &driver)
{
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    m_driver = driver.value(QStringLiteral("code")).toString();
    if (!catalogue.drivers().contains(m_driver))
        return ZeltoStatus::failed(tr("Неизвестный драйвер: %1").arg(m_driver.left(40)));
    m_channel = channel.value(QStringLiteral("code")).toString();
    if (!catalogue.driverChannels(m_driver).contains(m_channel) && !catalogue.driverAdapters(m_driver).contains(m_channel))
        return ZeltoStatus::failed(tr("Драйвер %1 не работает через канал %2").arg(m_driver, m_channel.left(40)));

    const QStringList models = catalogue.driverModels(m_driver);
    m_model = channel.value(QStringLiteral("model"), models.value(0)).toString();
    if (!models.contains(m_model))
        return ZeltoStatus::failed(tr("Драйвер %1 не опрашивает приборы %2").arg(m_driver, m_model.left(40)));

    const QVariant deviceId = channel.value(QStringLiteral("deviceId"));
    if (!deviceId.isNull()) {
        bool ok = false;
        m_number = deviceId.toString().trimmed().toLongLong(&ok);
        if (!ok || m_number < 0)
            return ZeltoStatus::failed(tr("Неверный номер прибора (deviceId): %1").arg(deviceId.toString().left(40)));
        m_hasNumber = true;
        m_identity = QString::number(m_number);
    } else {
        // Without a number the device is whatever answers on this channel.
        QStringList parts;
        for (auto it = channel.constBegin(); it != channel.constEnd(); ++it)
            parts.append(it.key() + QLatin1Char('=') + it.value().toString());
        m_identity = parts.join(QLatin1Char(';'));
        m_number = qint64(qHash(m_identity)) + 1;
    }

    m_faultText = channel.value(QStringLiteral("faultText"), tr("Ошибка обмена с прибором")).toString();
    ZeltoStatus status = readFaults(channel.value(QStringLiteral("fault")));
    const struct
    {
        const char *key;
        int low, high;
        int &value;
    } numbers[] = {
        {"failCount", 0, 1000000, m_failCount},        {"failEvery", 0, 1000000, m_failEvery},
        {"clockOffset", -100000, 100000, m_clockOffset}, {"readTimeout", 0, 600000, m_readTimeout},
        {"runSeconds", 0, 86400, m_runSeconds},         {"readArchiveDepth", 0, 10000, m_depthDays},
        {"archiveDepth", 0, 10000, m_depthDays},
    };
    // The first refusal wins, as the settings are read in this order.
    for (const auto &number : numbers) {
        if (!status.ok())
            break;
        status = readInt(channel, number.key, number.low, number.high, number.value);
    }
    return status;
}

bool SimDevice::faultsHit(int run) const
{
    if (m_failEvery > 0)
        return (run - 1) % m_failEvery == 0;
    return m_failCount == 0 || run <= m_failCount;
}

ZeltoStatus SimDevice::readFaults(const QVariant &value)
{
    QStringList names = value.toStringList();
    if (value.userType() == QMetaType::QString)
        names = value.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    else if (!value.isNull() && value.userType() != QMetaType::QVariantList && value.userType() != QMetaType::QStringList)
        return ZeltoStatus::failed(tr("Неверный режим отказа: ожидается строка или список"));
    const QStringList known = faultNames();
    for (const QString &name : qAsConst(names)) {
        const int index = known.indexOf(name.trimmed());
        if (index < 0)
            return ZeltoStatus::failed(tr("Неизвестный режим отказа: %1 (допустимы %2)").arg(name.left(40), known.join(QStringLiteral(", "))));
        m_faults |= 1 << index;
    }
    return ZeltoStatus();
}

QString SimDevice::modelName() const
{
    return MetadataCatalogue::instance().modelName(m_model);
}

QList<int> SimDevice::systems() const
{
    const QList<int> systems = MetadataCatalogue::instance().modelSystems(m_model);
    return systems.isEmpty() ? QList<int>{1} : systems;
}

bool SimDevice::hasTotals() const
{
    return !m_driver.startsWith(QLatin1String("QRV"));
}

QStringList SimDevice::columns(MeterValues::Kind kind) const
{
    QStringList columns = MeterValues::columns(kind, systems());
    if (!hasTotals()) {
        // The QRV calculators report masses; the server derives the volumes.
        for (int system : systems()) {
            for (const char *code : {"V1", "V2"})
                columns.removeAll(QStringLiteral("S%1_%2").arg(system).arg(QLatin1String(code)));
        }
    }
    if (m_driver == QLatin1String("LWD") && kind != MeterValues::CurrentData) {
        columns.append(QStringLiteral("Ee"));
        if (kind == MeterValues::HourData || kind == MeterValues::DayData || kind == MeterValues::MonthData)
            columns << QStringLiteral("S1_dM") << QStringLiteral("S1_P3");
    }
    return columns;
}
