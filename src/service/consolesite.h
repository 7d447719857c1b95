#pragma once

#include <QJsonArray>
#include <QString>

class Database;

// The operators' web console on the HTTP listener: GET / and the console's
// files, the list of the installation's other servers, and on /rpc the RPC server's WebSocket (the same commands,
// sessions, rights and change events as "wsPort"), so that a browser needs
// one port.
namespace ConsoleSite {

// The console's folder: "console" in the home folder, else in the folder
// of the files shipped with the program (Zelto::dataDir(): for an installed
// program <prefix>/share/orvex), else beside the program (a build tree);
// empty when there is none.
QString folder();

// The setting "consoleServers" (the other servers of the installation, as
// WebSocket addresses ws://host:port/rpc) without the entries that are no
// such address: what GET /servers.json answers; none without a database.
QJsonArray otherServers(Database *database);

// Routes /, /servers.json and /rpc on the HTTP listener (an exact route such as /metrics
// keeps its own handler); /servers.json reads the setting from database.
void install(Database *database);

}
