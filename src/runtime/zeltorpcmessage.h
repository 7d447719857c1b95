#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// The JSON-RPC 2.0 envelopes of our wire protocol: one request or reply per
// message, values in the tagged JSON form of ZeltoJsonWriter. A request may
// carry "tables":"stream" to get the tables of its reply as
// {"$stream":base64 of ZeltoStream bytes}; servers that do not know the
// member ignore it, so the client reads both forms. Grammar and rules for
// staying compatible: docs/protocol.md.
namespace ZeltoRpcMessage {

enum ErrorCode {
    ParseError = -32700,
    InvalidRequest = -32600,
    MethodNotFound = -32601,
    InvalidParams = -32602,   // also a command's parameter refused by the command itself
    // A command's failures, by kind (ZeltoRpcDispatcher::errorCode).
    CommandFailed = -32000,   // none of the kinds below
    NotLoggedIn = -32001,
    NoRight = -32003,
    NotFound = -32004,
    Conflict = -32009,
    Busy = -32010,
    Unavailable = -32011,
    StorageFailed = -32020
};

// Messages never grow past this on either side.
constexpr qint64 MaxMessageSize = 64 * 1024 * 1024;

// False with *error set when a parameter has a type the wire cannot carry.
// streamTables asks for the tables of the reply as {"$stream":...}.
bool request(qint64 id, const QString &method, const QVariantList &params, QByteArray &out, QString *error,
             bool streamTables = false);
// Replies carry the request's id as the JSON text it came in (empty: null),
// so that any number or string the client chose comes back unchanged.
// streamTables: the request asked for tables in stream form.
bool result(const QByteArray &idText, const QVariant &value, QByteArray &out, QString *error,
            bool streamTables = false);
QByteArray error(const QByteArray &idText, int code, const QString &message);

}
