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
void renewHash(Database &database, int id, const QString &password)
{
    const ZeltoResult<QString> hash = PasswordHash::make(password);
    const ZeltoStatus renewed = hash.ok() ? database.run(QStringLiteral("UPDATE users SET password = ? WHERE id = ?"),
                                                         {hash.value(), id})
                                          : hash.status();
    if (!renewed.ok())
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, tr("Хеш пароля пользователя %1 не обновлён: %2")
                                                                  .arg(id)
                                                                  .arg(renewed.message()));
}

// One WARN entry when a block starts. One pass of arg(), so that a login
// name holding "%1" stays as it is.
void journalBlock(Database &database, LoginThrottle::Block block, const QString &peer, const QString &loginName)
{
    const QString address = LoginThrottle::canonicalAddress(peer);
    const QString blockSeconds = QString::number(LoginThrottle::kBlockMs / 1000);
    const QString window = QString::number(LoginThrottle::kWindowMs / 1000);
    if (block == LoginThrottle::AddressBlocked)
        database.log(Database::Warn, tr("Вход с адреса %1 запрещён на %2 с: %3 неудачных попыток входа за %4 с")
                                         .arg(address, blockSeconds,
                                              QString::number(LoginThrottle::kMaxAddressFailures), window));
    else if (block == LoginThrottle::LoginBlocked)
        database.log(Database::Warn,
                     tr("Вход пользователя %1 с адреса %2 запрещён на %3 с: %4 неудачных попыток входа за %5 с")
                         .arg(loginName.left(64), address, blockSeconds,
                              QString::number(LoginThrottle::kMaxLoginFailures), window));
}

} // namespace

ZeltoResult<ZeltoTable> Users::list(Database *database)
{
    if (!database)
        return CommandContext::noDatabase();
    ZeltoResult<ZeltoTable> users = database->rows(QStringLiteral("SELECT * FROM users ORDER BY ")
                                                      + database->sqlDialect().ascending(QStringLiteral("fio"))
                                                      + QStringLiteral(", id"));
    if (users.ok() && users.value().containsColumn(kPassword)) {
        for (int row = 0; row < users.value().rowCount(); ++row)
            users.value().setValue(row, kPassword, QString());
    }
    return users;
}

ZeltoResult<QVariantMap> Users::get(Database *database, int id)
{
    if (!database)
        return CommandContext::noDatabase();
    const ZeltoResult<QVariantMap> row = database->row(QStringLiteral("SELECT * FROM users WHERE id = ?"), {id});
    return row.ok() ? ZeltoResult<QVariantMap>(withoutDigest(row.value())) : row;
}

ZeltoResult<QStringList> Users::access(Database *database, int id)
{
    if (!database)
        return CommandContext::noDatabase();
    const ZeltoResult<QVariant> stored = database->data(kUsers, id, kAccess);
    if (!stored.ok())
        return stored.status();
    QStringList rights = stored.value().toStringList();
    if (id == 0)
        rights.append(QStringLiteral("allowAll"));
    return rights;
}

ZeltoResult<QVariantMap> Users::authenticate(Database *database, const QString &loginName, const QString &password,
                                             const QString &peer)
{
    if (!database)
        return CommandContext::noDatabase();
    ZeltoResult<QVariantMap> row = checkPassword(*database, loginName, password, peer);
    if (!row.ok())
        return row;
    const ZeltoResult<QStringList> rights = access(database, row.value().value(kId).toInt());
    if (!rights.ok())
        return rights.status();
    row.value().insert(kAccess, rights.value());
    return row;
}

ZeltoResult<int> Users::verify(Database *database, const QString &loginName, const QString &password,
                               const QString &peer)
{
    if (!database)
        return CommandContext::noDatabase();
    const ZeltoResult<QVariantMap> row = checkPassword(*database, loginName, password, peer);
    if (!row.ok())
        return row.status();
    return row.value().value(kId).toInt();
}

QString Users::passwordStamp(Database *database, int id)
{
    if (!database)
        return QString();
    const QVariantMap row =
        database->row(QStringLiteral("SELECT id, password FROM users WHERE id = ?"), {id}).valueOr(QVariantMap());
    if (row.isEmpty())
        return QString();
    // A digest of the stored hash: the hash itself stays in the database.
    const QByteArray stored = row.value(kId).toByteArray() + ' ' + row.value(kPassword).toString().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(stored, QCryptographicHash::Sha256).toHex());
}

QVariantMap Users::resume(Database *database, int id, const QString &stamp)
{
    if (stamp.isEmpty() || passwordStamp(database, id) != stamp)
        return QVariantMap();
    QVariantMap row = get(database, id).valueOr(QVariantMap());
    const ZeltoResult<QStringList> rights = access(database, id);
    if (row.isEmpty() || !rights.ok())
        return QVariantMap();
    row.insert(kAccess, rights.value());
    return row;
}

ZeltoResult<QVariantMap> Users::checkPassword(Database &database, const QString &loginName, const QString &password,
                                              const QString &peer)
{
    // A throttled attempt learns nothing, not even whether the password was right.
    LoginThrottle &throttle = User::loginThrottle();
    const qint64 now = database.stampClock()->monotonicMs();
    const qint64 waitMs = peer.isEmpty() ? 0 : throttle.waitMs(peer, loginName, now);
    if (waitMs > 0)
        return ZeltoStatus::busy(
            tr("Слишком много неудачных попыток входа: повторите через %1 с").arg((waitMs + 999) / 1000));
    // Looked up by login, then verified: an unknown login costs what a wrong password does.
    const ZeltoResult<QVariantMap> found = database.row(QStringLiteral("SELECT * FROM users WHERE login = ?"), {loginName});
    if (!found.ok())
        return found;
    const QVariantMap &row = found.value();
    const PasswordHash::Check check = PasswordHash::check(row.value(kPassword).toString(), password);
    if (row.isEmpty() || check == PasswordHash::Wrong) {
        if (!peer.isEmpty())
            journalBlock(database, throttle.recordFailure(peer, loginName, now), peer, loginName);
        return ZeltoStatus::notLoggedIn(tr("Ошибка авторизации"));
    }
    if (!peer.isEmpty())
        throttle.recordSuccess(peer, loginName);
    if (check == PasswordHash::Outdated)
        renewHash(database, row.value(kId).toInt(), password);
    return withoutDigest(row);
}

ZeltoResult<QVariantList> Users::groups(Database *database, int id)
{
    if (!database)
        return CommandContext::noDatabase();
    return database->distinct(QStringLiteral("user_groups"), QStringLiteral("group_id"), QStringLiteral("user_id = ?"),
                              {id});
}

ZeltoResult<QVariantMap> Users::data(Database *database, int id)
{
    ZeltoResult<QVariantMap> user = get(database, id);
    if (!user.ok() || user.value().isEmpty())
        return user;
    const ZeltoResult<QStringList> rights = access(database, id);
    if (!rights.ok())
        return rights.status();
    const ZeltoResult<QVariantList> memberships = groups(database, id);
    if (!memberships.ok())
        return memberships.status();
    user.value().insert(kAccess, rights.value());
    user.value().insert(kGroups, memberships.value());
    return user;
}

ZeltoResult<int> Users::save(Database *database, const QVariantMap &input)
{
    // Everything the client sent is checked before anything is written.
    QVariantMap record;
    int id = -1;
    ZeltoStatus checked;
    if (input.contains(kId)) {
        if (!(checked = RecordFields::readId(input, kId, id)).ok())
            return checked;
        record.insert(kId, id);
    }
    if (!(checked = RecordFields::copy(input, record,
                                       {QStringLiteral("login"), QStringLiteral("fio"), QStringLiteral("office"),
                                        QStringLiteral("phone"), QStringLiteral("note")}))
             .ok())
        return checked;
    if (input.contains(kPassword)) {
        QString password;
        if (!(checked = RecordFields::readText(input.value(kPassword), kPassword, password)).ok()
            || !(checked = FieldLimits::check(FieldLimits::User, {{kPassword, password}})).ok())
            return checked;
        const ZeltoResult<QString> hash = PasswordHash::make(password);
        if (!hash.ok())
            return hash.status();
        record.insert(kPassword, hash.value());
    }
    // The administrator's rights and groups are never written.
    const bool administrator = id == 0;
    QStringList rights;
    QVariantList groupIds;
    const bool withAccess = !administrator && input.contains(kAccess);
    const bool withGroups = !administrator && input.contains(kGroups);
    if (withAccess && !(checked = RecordFields::readStringList(input.value(kAccess), kAccess, rights)).ok())
        return checked;
    if (withGroups && !(checked = RecordFields::readIdList(input.value(kGroups), kGroups, groupIds)).ok())
        return checked;
    if (!(checked = FieldLimits::check(FieldLimits::User, record)).ok()
        || (withAccess && !(checked = FieldLimits::check(FieldLimits::User, {{kAccess, rights}})).ok()))
        return checked;

    if (!database)
        return CommandContext::noDatabase();
    TransactionScope scope(*database, QStringLiteral("saveUser"));
    if (!scope.isActive())
        return scope.status();
    const ZeltoResult<int> saved = database->save(kUsers, record);
    if (!saved.ok())
        return saved;
    id = saved.value();
    if (id != 0) {
        if (withAccess && !(checked = setAccess(database, id, rights)).ok())
            return checked;
        if (withGroups && !(checked = setGroups(database, id, groupIds)).ok())
            return checked;
    }
    if (!(checked = scope.finish()).ok())
        return checked;
    ZeltoSystem::instance()->notify(ChangeEvents::UserSaved, id);
    return id;
}

ZeltoStatus Users::remove(Database *database, int id)
{
    if (!database)
        return CommandContext::noDatabase();
    const ZeltoStatus removed = database->remove(kUsers, id);
    if (!removed.ok())
        return removed;
    ZeltoSystem::instance()->notify(ChangeEvents::UserRemoved, id);
    return ZeltoStatus();
}

ZeltoStatus Users::setAccess(Database *database, int id, const QStringList &rights)
{
    if (id == 0)
        return ZeltoStatus();
    if (!database)
        return CommandContext::noDatabase();
    return database->write(kUsers, id, {{kAccess, rights}});
}

ZeltoStatus Users::setGroups(Database *database, int id, const QVariantList &groupIds)
{
    if (id == 0)
        return ZeltoStatus();
    QVariantList ids;
    const ZeltoStatus checked = RecordFields::readIdList(groupIds, kGroups, ids);
    if (!checked.ok())
        return checked;
    // The old memberships go only when every new one could be written.
    if (!database)
        return CommandContext::noDatabase();
    TransactionScope scope(*database, QStringLiteral("setUserGroups"));
    if (!scope.isActive())
        return scope.status();
    ZeltoStatus done = database->run(QStringLiteral("DELETE FROM user_groups WHERE user_id = ?"), {id});
    const QStringList columns = {QStringLiteral("user_id"), QStringLiteral("group_id")};
    const QString insert = database->sqlDialect().insertOrReplace(QStringLiteral("user_groups"), columns, columns);
    for (const QVariant &groupId : qAsConst(ids)) {
        if (done.ok())
            done = database->run(insert, {id, groupId});
    }
    if (done.ok())
        done = scope.finish();
    if (!done.ok())
        return done;
    // What the user sees has changed (the OPC UA sessions follow it).
    ZeltoSystem::instance()->notify(ChangeEvents::UserSaved, id);
    return ZeltoStatus();
}
