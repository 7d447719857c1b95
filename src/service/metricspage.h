#pragma once

#include "zeltohttpmessage.h"

#include <functional>

class Database;

// The operators' /metrics page in the Prometheus text format: what the
// subsystems count (polling, RPC) and what the host reads when the page is
// asked for (database file size, time of the last backup).
class MetricsPage
{
public:
    // Describes the host's gauges and routes GET /metrics on the HTTP
    // listener; active tells whether this server is its database's active one, and
    // database is the open one whose settings the gauges read.
    static void install(std::function<bool()> active, Database *database);

    static void serve(const ZeltoHttpRequest &request, ZeltoHttpResponse &response);
};
