#pragma once

#include <QPointer>

class ZeltoHttpConnection;
struct ZeltoHttpRequest;
struct ZeltoHttpResponse;

// The answer to an HTTP request, given after its handler has returned
// (ZeltoHttpResponse::defer). Until send() the connection holds the request
// and reads nothing more; its request timeout no longer runs, so the
// holder decides how long the client waits. A copy refers to the same
// request. The connection may close meanwhile (the client left, or the
// listener needed its memory): send() then does nothing.
class ZeltoHttpDeferredResponse
{
public:
    ZeltoHttpDeferredResponse() = default;
    explicit ZeltoHttpDeferredResponse(ZeltoHttpConnection *connection);

    // True while the client waits for this answer.
    bool isOpen() const;
    // The request being answered; null once the connection is closed.
    const ZeltoHttpRequest *request() const;
    // Writes the answer and closes, as for an answer given at once.
    void send(const ZeltoHttpResponse &response) const;

private:
    QPointer<ZeltoHttpConnection> m_connection;
};
