#include "zeltoserverconnection.h"

ZeltoServerConnection::ZeltoServerConnection(int id, QObject *parent) : QObject(parent), m_id(id) {}

void ZeltoServerConnection::received(const QByteArray &message)
{
    if (m_closed)
        return;
    m_pending.enqueue(message);
    emit messageReady(this);
}

void ZeltoServerConnection::markClosed()
{
    if (m_closed)
        return;
    m_closed = true;
    m_pending.clear();
    emit closed(this);
}
