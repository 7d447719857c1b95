#pragma once

#include "zeltohttpmessage.h"

// The operators' /metrics page in the Prometheus text format: what the
// subsystems count (polling, RPC) and what the host reads when the page is
// asked for (database file size, time of the last backup).
class MetricsPage
{
public:
    // Describes the host's gauges and routes GET /metrics on the HTTP listener.
    static void install();

    static void serve(const ZeltoHttpRequest &request, ZeltoHttpResponse &response);
};
