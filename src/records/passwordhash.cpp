#include "passwordhash.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRegularExpression>

#include <sodium.h>

namespace {

// libsodium's interactive limits: about a tenth of a second and 64 MiB per login.
const unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
const size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The Argon2 string of a password; empty when libsodium cannot make one.
QByteArray argon2(const QByteArray &password)
{
    char text[crypto_pwhash_STRBYTES];
    if (!sodiumReady()
        || crypto_pwhash_str(text, password.constData(), quint64(password.size()), kOpsLimit, kMemLimit) != 0)
        return QByteArray();
    return QByteArray(text);
}

bool verifies(const QByteArray &hash, const QByteArray &password)
{
    return sodiumReady() && !hash.isEmpty()
        && crypto_pwhash_str_verify(hash.constData(), password.constData(), quint64(password.size())) == 0;
}

// What a check verifies against when the stored text holds no Argon2 hash:
// the hash of a random password nobody knows, made once.
const QByteArray &dummyHash()
{
    static const QByteArray hash = [] {
        unsigned char noise[16] = {};
        if (sodiumReady())
            randombytes_buf(noise, sizeof noise);
        return argon2(QByteArray(reinterpret_cast<const char *>(noise), sizeof noise));
    }();
    return hash;
}

bool isArgon2(const QString &stored)
{
    return stored.startsWith(QLatin1String("$argon2"));
}

bool isOlderDigest(const QString &stored)
{
    static const QRegularExpression digest(QStringLiteral("^[0-9a-fA-F]{32}$"));
    return digest.match(stored).hasMatch();
}

QString olderDigest(const QString &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password.toLocal8Bit(), QCryptographicHash::Md5).toHex());
}

} // namespace

ZeltoResult<QString> PasswordHash::make(const QString &password)
{
    const QByteArray hash = argon2(password.toUtf8());
    if (hash.isEmpty())
        return ZeltoStatus::failed(QCoreApplication::translate("PasswordHash", "Не удалось вычислить хеш пароля"));
    return QString::fromLatin1(hash);
}

PasswordHash::Check PasswordHash::check(const QString &stored, const QString &password)
{
    const QByteArray utf8 = password.toUtf8();
    if (isArgon2(stored)) {
        const QByteArray hash = stored.toLatin1();
        if (!verifies(hash, utf8))
            return Wrong;
        return crypto_pwhash_str_needs_rehash(hash.constData(), kOpsLimit, kMemLimit) == 0 ? Right : Outdated;
    }
    verifies(dummyHash(), utf8);  // the work of a real check, whatever comes of it
    if (isOlderDigest(stored) && stored.compare(olderDigest(password), Qt::CaseInsensitive) == 0)
        return Outdated;
    return Wrong;
}
