#include "listenerswitch.h"

#include "portsetting.h"
#include "zeltosystem.h"

#include <QCoreApplication>

#include <utility>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ListenerSwitch", text);
}

} // namespace

ListenerSwitch::ListenerSwitch(const QString &setting, const QString &label, Open open, Close close)
    : m_setting(setting), m_label(label), m_opener(std::move(open)), m_closer(std::move(close))
{
}

void ListenerSwitch::apply(const QVariant &value)
{
    const int port = PortSetting::port(value);
    if (port > 0 && port == m_port && m_listening)
        return;
    if (port < 0)
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, tr("Неверный порт %1 \"%2\": %3, порт закрыт")
                                                                .arg(m_label, m_setting, value.toString().left(40)));
    // The clients of the old port go with it.
    close();
    if (port <= 0)
        return;
    m_port = quint16(port);
    m_listening = m_opener(m_port);
}

void ListenerSwitch::close()
{
    if (m_port == 0)
        return;
    m_closer();
    if (m_listening)
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                     tr("Сервер %1 больше не слушает порт %2").arg(m_label).arg(m_port));
    m_port = 0;
    m_listening = false;
}
