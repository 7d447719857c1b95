#pragma once

#include "zeltohttpmessage.h"

#include <QByteArray>

// The head of one HTTP/1.x request, read from bytes alone (no socket): every
// listener reads heads through it, so they all follow the same rules, and a
// fuzzer can drive it. What it accepts (RFC 9112):
//
//   head         = request-line *header-line CRLF
//   request-line = method SP target SP ("HTTP/1.1" | "HTTP/1.0") CRLF
//   method       = 1*(ALPHA | DIGIT | "-" | "_")
//   target       = "/" *(VCHAR but not SP)          (origin form only)
//   header-line  = name ":" *WSP value *WSP CRLF    (name without blanks)
//
// A bare LF ends a line as CRLF does. Refused, with the status to answer:
// a head longer than the limit (431); a malformed request line, a header
// line without a colon, a folded line (400); another version (505);
// Transfer-Encoding (411: bodies come with Content-Length only); a
// Content-Length that is not one decimal number, or that appears more than
// once even with the same value (400: two lengths leave the end of the body
// in doubt); one over the body limit (413); HTTP/1.1 without a Host, or any
// request with two (400). Stays compatible by refusing more only where RFC
// 9112 allows it; what it accepts keeps its meaning.
class ZeltoHttpHead
{
public:
    enum State { Incomplete, Complete, Refused };

    static constexpr int DefaultMaxHeadSize = 16 * 1024;

    // Parses the head at the start of `bytes` (which may hold body bytes
    // after it). `searchFrom` is where the blank line that ends the head may
    // begin at the earliest (the size of what was parsed before, less three),
    // so that a head arriving byte by byte is not scanned over and over.
    // Incomplete while the blank line has not come; a request line that is
    // complete and malformed is refused at once.
    static ZeltoHttpHead parse(const QByteArray &bytes, qint64 maxBodySize, int maxHeadSize = DefaultMaxHeadSize,
                               int searchFrom = 0);

    // The standard phrase of a status code ("Not Found"), for answers.
    static QByteArray reasonPhrase(int status);

    State state = Incomplete;
    int status = 0;                  // Refused: the status to answer
    QByteArray reason;               // Refused: one line for people, ending in LF
    int size = 0;                    // Complete: bytes of the head, blank line included
    qint64 contentLength = 0;        // Complete: 0 without Content-Length
    bool hasContentLength = false;
    bool http10 = false;             // Complete: "HTTP/1.0"
    ZeltoHttpRequest request;        // Complete: method, path, query and headers

private:
    void refuse(int code, const QByteArray &text);
    bool parseRequestLine(const QByteArray &line);
    void parseHeaders(const QList<QByteArray> &lines, qint64 maxBodySize);
};
