#include "sessionscope.h"

namespace {

SessionScope *g_current = nullptr;

} // namespace

SessionScope::SessionScope(const QString &peerAddress) : m_peerAddress(peerAddress), m_outer(g_current)
{
    g_current = this;
}

SessionScope::~SessionScope()
{
    g_current = m_outer;
}

SessionScope *SessionScope::current()
{
    return g_current;
}
