#pragma once

#include <QJsonObject>

class Database;

// What the OPC UA sessions of a user may see: the nodes that user reads over
// RPC, by the same rule (the nodes of the user's groups; every node for the
// administrator). As the fields of the gateway's "login" answer and
// "visibility" message: {"all": true}, or {"nodes": [node ids]}.
class OpcVisibility
{
public:
    // userId: a users row's id; a negative one sees nothing. Read from database;
    // nothing when it fails.
    static QJsonObject of(Database *database, int userId);
};
