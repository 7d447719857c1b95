#pragma once

#include <QObject>

// The session store: which user is logged in on each client connection.
class User : public QObject
{
    Q_OBJECT

public:
    // The user of the client whose command is running; -1 when nobody is
    // logged in there or outside any client call (the server's own work).
    static int currentUserId();
};
