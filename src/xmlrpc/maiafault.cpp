#include "maiafault.h"

namespace {

const int kRegistered = qRegisterMetaType<MaiaFault>("MaiaFault");

} // namespace

QVariantMap MaiaFault::toMap() const
{
    return {{QStringLiteral("faultCode"), m_code}, {QStringLiteral("faultString"), m_message}};
}

bool MaiaFault::isFault(const QVariant &value)
{
    return value.userType() == qMetaTypeId<MaiaFault>();
}
