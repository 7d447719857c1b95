#include "sessioncommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "signin.h"
#include "user.h"
#include "users.h"

namespace SessionCommands {

// login(login: text, password: text) -> the user's record with "access"
CommandReply login(CommandParams &p)
{
    if (!p.require(2))
        return p.refusal();
    return CommandResult::of(SignIn::logIn(p.text(0), p.text(1)));
}

// logout() -> true
CommandReply logout(CommandParams &)
{
    User::logout();
    return QVariant(true);
}

// takeChangeEvents() -> map of event name to the list of ids since the last call
CommandReply takeChangeEvents(CommandParams &)
{
    return QVariant(User::takeEvents());
}

}
