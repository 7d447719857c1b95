#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// What the server knows about one client connection: who is logged in, that
// user's row and rights as read at login, and the change events not yet
// taken by the client.
struct Session
{
    int userId = -1;              // -1: nobody logged in
    QVariantMap user;
    QStringList access;
    QMap<QString, QVariantList> pendingEvents;
};
