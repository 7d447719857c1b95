#pragma once

#include <QByteArray>

// Turns one request message into its reply: parses the envelope, finds the
// registered command, checks the declared parameter count, runs it and
// encodes the result or the failure. Runs on the main thread.
class ZeltoRpcDispatcher
{
public:
    // Returns false when the message needs no reply (a notification: a
    // request without an id); otherwise the reply is in `reply`.
    bool handle(const QByteArray &message, QByteArray &reply);
};
