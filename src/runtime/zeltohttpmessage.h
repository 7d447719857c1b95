#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>

#include <functional>

class QTcpSocket;

// One HTTP/1.1 request as the operators' listener received it. Wire form:
// a request line "METHOD SP target SP HTTP/1.x", header lines "name: value",
// an empty line, then Content-Length bytes of body (no chunked bodies). It
// stays compatible by following RFC 9112 for what it accepts; anything it
// does not accept is answered with a 4xx status and the connection closes.
struct ZeltoHttpRequest
{
    QByteArray method;                     // as sent, e.g. "GET"
    QByteArray path;                       // the target up to '?', not decoded; always begins with '/'
    QByteArray query;                      // after '?', not decoded; empty without one
    QHash<QByteArray, QByteArray> headers; // names in lower case; repeated headers joined with ", "
    QByteArray body;
    QHostAddress peer;
    QByteArray raw;                        // every byte received so far: request line, headers, body

    QByteArray header(const QByteArray &lowerCaseName) const { return headers.value(lowerCaseName); }
};

// What a handler answers. The listener writes it with Content-Length and
// "Connection: close" (no body for HEAD) and then closes the connection.
//
// A handler that speaks another protocol on the socket (a WebSocket upgrade)
// calls takeOver() instead: after it returns, the listener writes nothing,
// lets go of the socket and calls `adopt` with it and the bytes received so
// far (request.raw); from then on the socket is adopt's to own and close.
struct ZeltoHttpResponse
{
    using Adopter = std::function<void(QTcpSocket *socket, const QByteArray &received)>;

    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;   // extra headers, written as given

    void setText(int code, const QByteArray &text)
    {
        status = code;
        contentType = "text/plain; charset=utf-8";
        body = text;
    }
    void takeOver(Adopter adopt) { adopter = std::move(adopt); }

    Adopter adopter;
};
