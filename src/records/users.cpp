#include "users.h"

#include "database.h"
#include "recordfields.h"
#include "transactionscope.h"
#include "user.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>

namespace {

const QString kUsers = QStringLiteral("users");
const QString kId = QStringLiteral("id");
const QString kPassword = QStringLiteral("password");
const QString kAccess = QStringLiteral("access");
const QString kGroups = QStringLiteral("groups");

QString tr(const char *text)
{
    return QCoreApplication::translate("Users", text);
}

// Password digests never leave the server: whoever holds one could use it
// as a token. The column stays, empty.
QVariantMap withoutDigest(QVariantMap row)
{
    if (row.contains(kPassword))
        row.insert(kPassword, QString());
    return row;
}

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

ZeltoTable Users::list()
{
    ZeltoTable users = Database::selectTable(QStringLiteral("SELECT * FROM users ORDER BY fio"));
    if (users.containsColumn(kPassword)) {
        for (int row = 0; row < users.rowCount(); ++row)
            users.setValue(row, kPassword, QString());
    }
    return users;
}

QVariantMap Users::get(int id)
{
    return withoutDigest(Database::selectRecord(QStringLiteral("SELECT * FROM users WHERE id = ?"), {id}));
}

QStringList Users::access(int id)
{
    QStringList rights = Database::readData(kUsers, id, kAccess).toStringList();
    if (id == 0)
        rights.append(QStringLiteral("allowAll"));
    return rights;
}

QVariantMap Users::login(const QString &loginName, const QString &password)
{
    if (User::currentUserId() != -1) {
        ZeltoSystem::instance()->error(tr("Вы уже авторизованы"), true);
        return QVariantMap();
    }
    QVariantMap row = checkPassword(loginName, password, User::currentPeerAddress());
    if (row.isEmpty())
        return QVariantMap();
    const int id = row.value(kId).toInt();
    const QStringList rights = access(id);
    User::signIn(id, row, rights);
    row.insert(kAccess, rights);
    return row;
}

int Users::verify(const QString &loginName, const QString &password, const QString &peer)
{
    const QVariantMap row = checkPassword(loginName, password, peer);
    return row.isEmpty() ? -1 : row.value(kId).toInt();
}

QVariantMap Users::checkPassword(const QString &loginName, const QString &password, const QString &peer)
{
    // A blocked address learns nothing, not even whether the password was right.
    LoginThrottle &throttle = User::loginThrottle();
    const qint64 now = monotonicMs();
    if (!peer.isEmpty() && throttle.isBlocked(peer, now)) {
        ZeltoSystem::instance()->error(tr("Ошибка авторизации"), true);
        return QVariantMap();
    }
    const QVariantMap row = withoutDigest(Database::selectRecord(
        QStringLiteral("SELECT * FROM users WHERE login = ? AND password = ?"), {loginName, passwordDigest(password)}));
    if (row.isEmpty()) {
        if (!peer.isEmpty() && throttle.recordFailure(peer, now))
            Database::logWarn(tr("Вход с адреса %1 запрещён на %2 с: %3 неудачных попыток входа за %4 с")
                                  .arg(peer)
                                  .arg(LoginThrottle::kBlockMs / 1000)
                                  .arg(LoginThrottle::kMaxFailures)
                                  .arg(LoginThrottle::kWindowMs / 1000));
        ZeltoSystem::instance()->error(tr("Ошибка авторизации"), true);
        return QVariantMap();
    }
    if (!peer.isEmpty())
        throttle.recordSuccess(peer);
    return row;
}

QString Users::passwordDigest(const QString &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password.toLocal8Bit(), QCryptographicHash::Md5).toHex());
}

QVariantList Users::groups(int id)
{
    return Database::selectDistinctValues(QStringLiteral("user_groups"), QStringLiteral("group_id"),
                                          QStringLiteral("user_id = ?"), {id});
}

QVariantMap Users::data(int id)
{
    QVariantMap user = get(id);
    if (user.isEmpty())
        return user;
    user.insert(kAccess, access(id));
    user.insert(kGroups, groups(id));
    return user;
}

int Users::save(const QVariantMap &input)
{
    // Everything the client sent is checked before anything is written.
    QVariantMap record;
    int id = -1;
    if (input.contains(kId)) {
        if (!RecordFields::readId(input, kId, id))
            return -1;
        record.insert(kId, id);
    }
    if (!RecordFields::copy(input, record,
                            {QStringLiteral("login"), QStringLiteral("fio"), QStringLiteral("office"),
                             QStringLiteral("phone"), QStringLiteral("note")}))
        return -1;
    if (input.contains(kPassword)) {
        QString password;
        if (!RecordFields::readText(input.value(kPassword), kPassword, password))
            return -1;
        record.insert(kPassword, passwordDigest(password));
    }
    // The administrator's rights and groups are never written.
    const bool administrator = id == 0;
    QStringList rights;
    QVariantList groupIds;
    const bool withAccess = !administrator && input.contains(kAccess);
    const bool withGroups = !administrator && input.contains(kGroups);
    if (withAccess && !RecordFields::readStringList(input.value(kAccess), kAccess, rights))
        return -1;
    if (withGroups && !RecordFields::readIdList(input.value(kGroups), kGroups, groupIds))
        return -1;

    TransactionScope scope;
    if (!scope.isActive())
        return -1;
    id = Database::saveRecord(kUsers, record);
    if (id == -1)
        return -1;
    if (id != 0) {
        if (withAccess && !setAccess(id, rights))
            return -1;
        if (withGroups && !setGroups(id, groupIds))
            return -1;
    }
    if (!scope.commit())
        return -1;
    ZeltoSystem::instance()->notify(QStringLiteral("userSaved"), id);
    return id;
}

bool Users::remove(int id)
{
    if (!Database::removeRecord(kUsers, id))
        return false;
    ZeltoSystem::instance()->notify(QStringLiteral("userRemoved"), id);
    return true;
}

bool Users::setAccess(int id, const QStringList &rights)
{
    if (id == 0)
        return true;
    return Database::writeData(kUsers, id, kAccess, rights);
}

bool Users::setGroups(int id, const QVariantList &groupIds)
{
    if (id == 0)
        return true;
    QVariantList ids;
    if (!RecordFields::readIdList(groupIds, kGroups, ids))
        return false;
    // The old memberships go only when every new one could be written.
    TransactionScope scope;
    if (!scope.isActive())
        return false;
    if (!Database::execute(QStringLiteral("DELETE FROM user_groups WHERE user_id = ?"), {id}))
        return false;
    const QString insert = QStringLiteral("INSERT OR REPLACE INTO user_groups (user_id, group_id) VALUES (?, ?)");
    for (const QVariant &groupId : qAsConst(ids)) {
        if (!Database::execute(insert, {id, groupId}))
            return false;
    }
    if (!scope.commit())
        return false;
    // What the user sees has changed (the OPC UA sessions follow it).
    ZeltoSystem::instance()->notify(QStringLiteral("userSaved"), id);
    return true;
}
