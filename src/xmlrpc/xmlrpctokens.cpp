#include "xmlrpctokens.h"

#include <sodium.h>

namespace {

const int kTokenBytes = 32;

QString randomToken()
{
    unsigned char bytes[kTokenBytes];
    randombytes_buf(bytes, sizeof bytes);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex());
}

} // namespace

QString XmlRpcTokens::issue(int userId, const QString &passwordStamp, qint64 now)
{
    if (m_holders.size() >= kMaxTokens) {
        for (auto it = m_holders.begin(); it != m_holders.end();) {
            if (idle(*it, now))
                it = m_holders.erase(it);
            else
                ++it;
        }
    }
    // Logins are slow on purpose, so one scan per login when full costs little.
    while (m_holders.size() >= kMaxTokens) {
        auto oldest = m_holders.begin();
        for (auto it = m_holders.begin(); it != m_holders.end(); ++it) {
            if (it->lastUse < oldest->lastUse)
                oldest = it;
        }
        m_holders.erase(oldest);
    }
    if (sodium_init() < 0)
        return QString();
    QString token;
    do
        token = randomToken();
    while (m_holders.contains(token));
    m_holders.insert(token, Holder{userId, passwordStamp, now});
    return token;
}

const XmlRpcTokens::Holder *XmlRpcTokens::use(const QString &token, qint64 now)
{
    const auto it = m_holders.find(token);
    if (it == m_holders.end())
        return nullptr;
    if (idle(*it, now)) {
        m_holders.erase(it);
        return nullptr;
    }
    it->lastUse = now;
    return &*it;
}

void XmlRpcTokens::revoke(const QString &token)
{
    m_holders.remove(token);
}
