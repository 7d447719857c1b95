#include "zeltostatus.h"

const char *ZeltoStatus::kindName(Kind kind)
{
    switch (kind) {
    case Ok:
        return "ok";
    case Failed:
        return "failed";
    case NotFound:
        return "notFound";
    case NoRight:
        return "noRight";
    case NotLoggedIn:
        return "notLoggedIn";
    case InvalidParameter:
        return "invalidParameter";
    case Conflict:
        return "conflict";
    case Storage:
        return "storage";
    case Busy:
        return "busy";
    case Unavailable:
        return "unavailable";
    }
    return "failed";
}
