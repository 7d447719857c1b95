#pragma once

#include "zeltohttpdeferredresponse.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>

#include <functional>

class QTcpSocket;

// One HTTP/1.x request as a listener received it; ZeltoHttpHead gives the
// grammar of its head. The body is the Content-Length bytes after the head
// (no chunked bodies).
struct ZeltoHttpRequest
{
    QByteArray method;                     // as sent, e.g. "GET"
    QByteArray path;                       // the target up to '?', not decoded; always begins with '/'
    QByteArray query;                      // after '?', not decoded; empty without one
    QHash<QByteArray, QByteArray> headers; // names in lower case; repeated headers joined with ", "
    QByteArray body;
    QHostAddress peer;
    QByteArray raw;                        // the head as received: request line and headers

    QByteArray header(const QByteArray &lowerCaseName) const { return headers.value(lowerCaseName); }
};

// What a handler answers. The listener writes it with Content-Length and
// "Connection: close" (no body for HEAD) and then closes the connection.
//
// A handler that speaks another protocol on the socket (a WebSocket upgrade)
// calls takeOver() instead: after it returns, the listener writes nothing,
// lets go of the socket and calls `adopt` with it and the bytes received
// (request.raw and the body); from then on the socket is adopt's to own and close.
//
// A handler that answers later, once the event loop has turned, calls
// defer() and keeps what it returns; the listener then waits for its
// answer (see ZeltoHttpDeferredResponse).
struct ZeltoHttpResponse
{
    using Adopter = std::function<void(QTcpSocket *socket, const QByteArray &received)>;

    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";   // none written when empty
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;   // extra headers, written as given

    void setText(int code, const QByteArray &text)
    {
        status = code;
        contentType = "text/plain; charset=utf-8";
        body = text;
    }
    void takeOver(Adopter adopt) { adopter = std::move(adopt); }
    ZeltoHttpDeferredResponse defer()
    {
        deferred = true;
        return ZeltoHttpDeferredResponse(connection);
    }

    Adopter adopter;
    bool deferred = false;
    ZeltoHttpConnection *connection = nullptr;   // set by the listener for defer()
};
