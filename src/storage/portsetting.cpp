#include "portsetting.h"

#include "zeltosystem.h"

#include <cmath>

const QStringList &PortSetting::names()
{
    static const QStringList names = {QStringLiteral("xPort"), QStringLiteral("wsPort"), QStringLiteral("httpPort"),
                                      QStringLiteral("opcPort")};
    return names;
}

int PortSetting::port(const QVariant &value)
{
    if (value.isNull())
        return 0;
    qlonglong number = -1;
    bool ok = false;
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        number = value.toLongLong();
        break;
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        number = qlonglong(qMin(value.toULongLong(), qulonglong(65536)));
        break;
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && d >= 0 && d <= 65536)
            number = qlonglong(d);
        break;
    }
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return 0;
        number = text.toUInt(&ok);
        if (!ok)
            return -1;
        break;
    }
    default:
        return -1;
    }
    return number >= 1 && number <= 65535 ? int(number) : -1;
}

ZeltoStatus PortSetting::check(const QString &name, const QVariant &value)
{
    if (!isPortSetting(name) || port(value) >= 0)
        return ZeltoStatus();
    return ZeltoStatus::invalid(
        tr("Неверное значение настройки %1: ожидается номер порта от 1 до 65535 или null (порт закрыт)").arg(name));
}
