#pragma once

#include <QString>

class ZeltoHttpServer;

// The operators' web console on the HTTP listener: GET / and the console's
// files, and on /rpc the RPC server's WebSocket (the same commands,
// sessions, rights and change events as "wsPort"), so that a browser needs
// one port.
namespace ConsoleSite {

// The console's folder: "console" in the home folder, else beside the
// program, else in the installed data folder (<prefix>/share/orvex/console
// for a program in <prefix>/bin); empty when there is none.
QString folder();

// Adds the console's routes to the listener's path table.
void route(ZeltoHttpServer *http);

}
