#include "zeltoaddresscap.h"

#include "zeltopeeraddress.h"
#include "zeltorefusals.h"

#include <QCoreApplication>

ZeltoAddressCap *ZeltoAddressCap::global()
{
    static ZeltoAddressCap *cap = new ZeltoAddressCap;
    return cap;
}

int ZeltoAddressCap::capFromSetting(const QVariant &value)
{
    bool ok = false;
    const int cap = value.toString().toInt(&ok);
    return ok && cap >= 0 ? cap : DefaultCap;
}

QString ZeltoAddressCap::key(const QHostAddress &peer)
{
    return ZeltoPeerAddress::text(peer);
}

bool ZeltoAddressCap::admit(const QHostAddress &peer)
{
    int &count = m_counts[key(peer)];
    if (m_cap > 0 && count >= m_cap) {
        ZeltoRefusals::report(ZeltoRefusals::PerAddress, peer,
                              QCoreApplication::translate("ZeltoAddressCap",
                                                          "Соединения с адреса %1 отклоняются: их уже %2 "
                                                          "(настройка connectionsPerAddress)")
                                  .arg(key(peer))
                                  .arg(count));
        return false;
    }
    ++count;
    return true;
}

void ZeltoAddressCap::release(const QHostAddress &peer)
{
    const auto it = m_counts.find(key(peer));
    if (it == m_counts.end())
        return;
    if (--it.value() <= 0)
        m_counts.erase(it);
}
