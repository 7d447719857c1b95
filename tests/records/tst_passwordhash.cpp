// Which stored password forms let a password in, and which of them are to be
// stored anew: forms the server never writes itself (Argon2 strings of other
// limits or of the older variant) cannot be made through the wire. Saving,
// older digests and logging in: test_security.py.

#include "passwordhash.h"

#include <QCryptographicHash>
#include <QtTest>

#include <sodium.h>

namespace {

QString argon2(const char *password, unsigned long long ops, size_t mem, int alg = crypto_pwhash_ALG_ARGON2ID13)
{
    char text[crypto_pwhash_STRBYTES];
    const QByteArray bytes(password);
    if (crypto_pwhash_str_alg(text, bytes.constData(), quint64(bytes.size()), ops, mem, alg) != 0)
        return QString();
    return QString::fromLatin1(text);
}

QString md5(const QByteArray &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password, QCryptographicHash::Md5).toHex());
}

} // namespace

class TestPasswordHash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void check_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("check");

        const QString made = PasswordHash::make(QStringLiteral("пароль")).value();
        const QString weak = argon2("пароль", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
        const QString older = argon2("пароль", crypto_pwhash_argon2i_OPSLIMIT_INTERACTIVE,
                                     crypto_pwhash_argon2i_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2I13);
        QTest::newRow("a made hash, right") << made << "пароль" << int(PasswordHash::Right);
        QTest::newRow("a made hash, wrong") << made << "пароли" << int(PasswordHash::Wrong);
        QTest::newRow("weaker limits, right") << weak << "пароль" << int(PasswordHash::Outdated);
        QTest::newRow("weaker limits, wrong") << weak << "Пароль" << int(PasswordHash::Wrong);
        QTest::newRow("the older variant, right") << older << "пароль" << int(PasswordHash::Outdated);
        QTest::newRow("an older digest, in capitals") << md5("secret").toUpper() << "secret" << int(PasswordHash::Outdated);
        QTest::newRow("nothing stored") << "" << "" << int(PasswordHash::Wrong);
        QTest::newRow("a broken hash") << made.left(made.size() - 3) << "пароль" << int(PasswordHash::Wrong);
        QTest::newRow("neither form") << "secret" << "secret" << int(PasswordHash::Wrong);
    }

    void check()
    {
        QFETCH(QString, stored);
        QFETCH(QString, password);
        QVERIFY2(!stored.isEmpty() || password.isEmpty(), "the fixture's hash was not made");
        QTEST(int(PasswordHash::check(stored, password)), "check");
    }
};

QTEST_APPLESS_MAIN(TestPasswordHash)
#include "tst_passwordhash.moc"
