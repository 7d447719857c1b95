#include "users.h"

#include "changeevents.h"
#include "commandcontext.h"
#include "database.h"
#include "fieldlimits.h"
#include "passwordhash.h"
#include "recordfields.h"
#include "transactionscope.h"
#include "user.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QCryptographicHash>

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

// Password hashes never leave the server: an older digest could be used as
// a password by older clients, and any hash can be guessed at offline. The
// column stays, empty.
QVariantMap withoutDigest(QVariantMap row)
{
    if (row.contains(kPassword))
        row.insert(kPassword, QString());
    return row;
}

// An older digest, or a hash of other limits than today's, gives way to a
// new hash once the password is known to be right. Failing that, the old
// one stays and still lets the user in.
void renewHash(int id, const QString &password)
{
    const QString hash = PasswordHash::make(password);
    if (hash.isEmpty()
        || !Database::execute(QStringLiteral("UPDATE users SET password = ? WHERE id = ?"), {hash, id}))
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, tr("Хеш пароля пользователя %1 не обновлён: %2")
                                                                  .arg(id)
                                                                  .arg(ZeltoSystem::instance()->lastError()));
    ZeltoSystem::instance()->clearError();
}

// One WARN entry when a block starts. One pass of arg(), so that a login
// name holding "%1" stays as it is.
void journalBlock(LoginThrottle::Block block, const QString &peer, const QString &loginName)
{
    const QString address = LoginThrottle::canonicalAddress(peer);
    const QString blockSeconds = QString::number(LoginThrottle::kBlockMs / 1000);
    const QString window = QString::number(LoginThrottle::kWindowMs / 1000);
    if (block == LoginThrottle::AddressBlocked)
        Database::logWarn(tr("Вход с адреса %1 запрещён на %2 с: %3 неудачных попыток входа за %4 с")
                              .arg(address, blockSeconds, QString::number(LoginThrottle::kMaxAddressFailures), window));
    else if (block == LoginThrottle::LoginBlocked)
        Database::logWarn(tr("Вход пользователя %1 с адреса %2 запрещён на %3 с: %4 неудачных попыток входа за %5 с")
                              .arg(loginName.left(64), address, blockSeconds,
                                   QString::number(LoginThrottle::kMaxLoginFailures), window));
}

} // namespace

ZeltoTable Users::list()
{
    ZeltoTable users = Database::selectTable(QStringLiteral("SELECT * FROM users ORDER BY ") + Database::dialect().ascending(QStringLiteral("fio"))
                                           + QStringLiteral(", id"));
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

ZeltoResult<QVariantMap> Users::authenticate(const QString &loginName, const QString &password, const QString &peer)
{
    ZeltoSystem::instance()->clearError();
    QVariantMap row = checkPassword(loginName, password, peer);
    if (row.isEmpty())
        return ZeltoSystem::instance()->lastStatus().ok() ? ZeltoStatus::notLoggedIn(tr("Ошибка авторизации"))
                                                           : ZeltoSystem::instance()->lastStatus();
    row.insert(kAccess, access(row.value(kId).toInt()));
    return row;
}

int Users::verify(const QString &loginName, const QString &password, const QString &peer)
{
    const QVariantMap row = checkPassword(loginName, password, peer);
    return row.isEmpty() ? -1 : row.value(kId).toInt();
}

QString Users::passwordStamp(int id)
{
    const QVariantMap row = Database::selectRecord(QStringLiteral("SELECT id, password FROM users WHERE id = ?"), {id});
    if (row.isEmpty())
        return QString();
    // A digest of the stored hash: the hash itself stays in the database.
    const QByteArray stored = row.value(kId).toByteArray() + ' ' + row.value(kPassword).toString().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(stored, QCryptographicHash::Sha256).toHex());
}

QVariantMap Users::resume(int id, const QString &stamp)
{
    if (stamp.isEmpty() || passwordStamp(id) != stamp)
        return QVariantMap();
    QVariantMap row = get(id);
    if (!row.isEmpty())
        row.insert(kAccess, access(id));
    return row;
}

QVariantMap Users::checkPassword(const QString &loginName, const QString &password, const QString &peer)
{
    // A throttled attempt learns nothing, not even whether the password was right.
    LoginThrottle &throttle = User::loginThrottle();
    const qint64 now = Database::clock()->monotonicMs();
    const qint64 waitMs = peer.isEmpty() ? 0 : throttle.waitMs(peer, loginName, now);
    if (waitMs > 0) {
        ZeltoSystem::instance()->fail(ZeltoStatus::busy(
            tr("Слишком много неудачных попыток входа: повторите через %1 с").arg((waitMs + 999) / 1000)));
        return QVariantMap();
    }
    // Looked up by login, then verified: an unknown login costs what a wrong password does.
    const QVariantMap row = Database::selectRecord(QStringLiteral("SELECT * FROM users WHERE login = ?"), {loginName});
    const PasswordHash::Check check = PasswordHash::check(row.value(kPassword).toString(), password);
    if (row.isEmpty() || check == PasswordHash::Wrong) {
        if (!peer.isEmpty())
            journalBlock(throttle.recordFailure(peer, loginName, now), peer, loginName);
        ZeltoSystem::instance()->fail(ZeltoStatus::notLoggedIn(tr("Ошибка авторизации")));
        return QVariantMap();
    }
    if (!peer.isEmpty())
        throttle.recordSuccess(peer, loginName);
    if (check == PasswordHash::Outdated)
        renewHash(row.value(kId).toInt(), password);
    return withoutDigest(row);
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

int Users::save(Database *database, const QVariantMap &input)
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
        if (!RecordFields::readText(input.value(kPassword), kPassword, password)
            || !FieldLimits::check(FieldLimits::User, {{kPassword, password}}))
            return -1;
        const QString hash = PasswordHash::make(password);
        if (hash.isEmpty())
            return -1;
        record.insert(kPassword, hash);
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
    if (!FieldLimits::check(FieldLimits::User, record)
        || (withAccess && !FieldLimits::check(FieldLimits::User, {{kAccess, rights}})))
        return -1;

    if (!database) {
        ZeltoSystem::instance()->fail(CommandContext::noDatabase());
        return -1;
    }
    TransactionScope scope(*database, QStringLiteral("saveUser"));
    if (!scope.isActive()) {
        ZeltoSystem::instance()->fail(scope.status());
        return -1;
    }
    id = Database::saveRecord(kUsers, record);
    if (id == -1)
        return -1;
    if (id != 0) {
        if (withAccess && !setAccess(id, rights))
            return -1;
        if (withGroups && !setGroups(database, id, groupIds))
            return -1;
    }
    if (!scope.commit())
        return -1;
    ZeltoSystem::instance()->notify(ChangeEvents::UserSaved, id);
    return id;
}

bool Users::remove(int id)
{
    if (!Database::removeRecord(kUsers, id))
        return false;
    ZeltoSystem::instance()->notify(ChangeEvents::UserRemoved, id);
    return true;
}

bool Users::setAccess(int id, const QStringList &rights)
{
    if (id == 0)
        return true;
    return Database::writeData(kUsers, id, kAccess, rights);
}

bool Users::setGroups(Database *database, int id, const QVariantList &groupIds)
{
    if (id == 0)
        return true;
    QVariantList ids;
    if (!RecordFields::readIdList(groupIds, kGroups, ids))
        return false;
    // The old memberships go only when every new one could be written.
    if (!database)
        return ZeltoSystem::instance()->fail(CommandContext::noDatabase());
    TransactionScope scope(*database, QStringLiteral("setUserGroups"));
    if (!scope.isActive())
        return ZeltoSystem::instance()->fail(scope.status());
    if (!Database::execute(QStringLiteral("DELETE FROM user_groups WHERE user_id = ?"), {id}))
        return false;
    const QStringList columns = {QStringLiteral("user_id"), QStringLiteral("group_id")};
    const QString insert = Database::dialect().insertOrReplace(QStringLiteral("user_groups"), columns, columns);
    for (const QVariant &groupId : qAsConst(ids)) {
        if (!Database::execute(insert, {id, groupId}))
            return false;
    }
    if (!scope.commit())
        return false;
    // What the user sees has changed (the OPC UA sessions follow it).
    ZeltoSystem::instance()->notify(ChangeEvents::UserSaved, id);
    return true;
}
