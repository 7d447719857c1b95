#include "zeltohttpdeferredresponse.h"

#include "zeltohttpconnection.h"

ZeltoHttpDeferredResponse::ZeltoHttpDeferredResponse(ZeltoHttpConnection *connection) : m_connection(connection) {}

bool ZeltoHttpDeferredResponse::isOpen() const
{
    return m_connection && m_connection->awaitsAnswer();
}

const ZeltoHttpRequest *ZeltoHttpDeferredResponse::request() const
{
    return isOpen() ? &m_connection->request() : nullptr;
}

void ZeltoHttpDeferredResponse::send(const ZeltoHttpResponse &response) const
{
    if (isOpen())
        m_connection->answer(response);
}
