#include "apicommand.h"

#include "user.h"
#include "zeltosystem.h"

#include <QCoreApplication>

ApiCommand::ApiCommand(const char *name, const char *className, int paramCount, const char *right, Handler handler)
    : ZeltoCommand(QString::fromLatin1(name), paramCount), m_className(className), m_right(right), m_handler(handler)
{
}

QVariant ApiCommand::execute(const QVariantList &params)
{
    // The right is checked before any parameter is looked at.
    if (m_right && *m_right && !User::checkAccess(right()))
        return QVariant();
    if (!m_handler) {
        ZeltoSystem::instance()->error(
            QCoreApplication::translate("ApiCommand", "Команда %1 пока недоступна: её подсистема не входит в эту версию сервера")
                .arg(name()),
            true);
        return QVariant();
    }
    CommandParams commandParams(name(), params);
    return m_handler(commandParams);
}
