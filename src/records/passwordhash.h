#pragma once

#include "zeltostatus.h"

#include <QString>

// How passwords are kept in users.password. Two forms are read:
//
//   argon2id:  "$argon2id$v=19$m=<KiB>,t=<passes>,p=<lanes>$<salt>$<hash>"  (libsodium's
//              crypto_pwhash_str of the password's UTF-8 bytes, salted, slow on purpose)
//   older:     32 lowercase hexadecimal digits, the unsalted MD5 of the password's
//              local 8-bit bytes, as servers before this one wrote
//
// Only the first is written. Staying compatible: any Argon2 string libsodium
// verifies is accepted whatever its limits; an older digest, or a hash made
// with other limits than today's, is accepted and reported as outdated, so
// that the caller replaces it at that successful login. Whatever is stored,
// checking costs one Argon2 verification (against a dummy hash when there is
// nothing to verify), so the time taken does not tell whether a login exists.
class PasswordHash
{
public:
    enum Check { Wrong, Right, Outdated };  // Outdated: right, to be stored anew

    // A new salted hash of the password; fails only when there is no memory for it.
    static ZeltoResult<QString> make(const QString &password);
    // Whether password is the one stored (an empty stored text: nobody, never right).
    static Check check(const QString &stored, const QString &password);
};
