#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include "zeltostatus.h"

// Turns one request message into its reply: parses the envelope, finds the
// registered command, checks the declared parameter count, runs it and
// encodes the result or the failure. Runs on the main thread.
class ZeltoRpcDispatcher
{
public:
    // Returns false when the message needs no reply (a notification: a
    // request without an id); otherwise the reply is in `reply`.
    bool handle(const QByteArray &message, QByteArray &reply);

    // The request that handle() last ran a command for: its id (whether it
    // had one; its JSON text as it came) and the command's name. A call
    // whose reply is deferred is answered later with these.
    QByteArray requestId() const { return m_requestId; }
    bool requestHasId() const { return m_requestHasId; }
    QString commandName() const { return m_commandName; }
    // Whether the reply handle() made is a failure.
    bool failed() const { return m_failed; }
    // Whether the request asked for the tables of its reply in stream form.
    bool streamTables() const { return m_streamTables; }

    // Whether the command running now answers a request that asked for
    // tables in stream form; a command that holds a table in that form
    // already may then return it as a ZeltoEncodedTable. False outside a
    // command run by a dispatcher.
    static bool streamTablesWanted();

    // The reply to a finished command: its value, or a failure with the
    // status's code and text (a generic text when it has none). A success
    // with an invalid value, or one the wire cannot carry, is a failure too;
    // failed, when given, says whether the reply is one.
    static QByteArray outcome(const QByteArray &id, const QString &name, const ZeltoResult<QVariant> &value,
                              bool streamTables = false, bool *failed = nullptr);

    // The JSON-RPC error code of a failure's kind: the one table of them.
    static int errorCode(ZeltoStatus::Kind kind);

private:
    QByteArray m_requestId;
    bool m_requestHasId = false;
    QString m_commandName;
    bool m_failed = false;
    bool m_streamTables = false;
};
