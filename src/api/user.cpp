#include "user.h"

int User::currentUserId()
{
    // No client can log in yet: every caller is the anonymous, unrestricted one.
    return -1;
}
