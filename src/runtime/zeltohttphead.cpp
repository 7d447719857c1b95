#include "zeltohttphead.h"

#include <QList>

#include <cstring>

namespace {

bool isMethodChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// RFC 9110's tchar: what a header name is made of.
bool isTokenChar(char c)
{
    return isMethodChar(c) || (c != 0 && std::strchr("!#$%&'*+.^`|~", c) != nullptr);
}

bool allOf(const QByteArray &text, bool (*test)(char))
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!test(c))
            return false;
    return true;
}

// A target byte: anything visible; blanks, controls and DEL are not.
bool isTargetChar(char c)
{
    return uchar(c) > 0x20 && uchar(c) != 0x7F;
}

// A value may hold blanks and bytes of any encoding, but no control
// characters: a CR or NUL inside a line is how requests get smuggled.
bool isValueClean(const QByteArray &value)
{
    for (char c : value)
        if ((uchar(c) < 0x20 && c != '\t') || uchar(c) == 0x7F)
            return false;
    return true;
}

QByteArray withoutCr(const QByteArray &line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

} // namespace

ZeltoHttpHead ZeltoHttpHead::parse(const QByteArray &bytes, qint64 maxBodySize, int maxHeadSize, int searchFrom)
{
    ZeltoHttpHead head;
    // The head ends at the first empty line: CRLF CRLF, or LF LF from a client that sends bare line feeds.
    int end = -1;
    int endSize = 0;
    for (int i = qMax(0, searchFrom); i < bytes.size() && i < maxHeadSize + 4; ++i) {
        if (bytes.at(i) != '\n')
            continue;
        if (i + 1 < bytes.size() && bytes.at(i + 1) == '\n') {
            end = i + 1;
            endSize = i + 2;
            break;
        }
        if (i + 2 < bytes.size() && bytes.at(i + 1) == '\r' && bytes.at(i + 2) == '\n') {
            end = i + 1;
            endSize = i + 3;
            break;
        }
    }
    if (end < 0 || endSize > maxHeadSize) {
        if (bytes.size() > maxHeadSize || endSize > maxHeadSize) {
            head.refuse(431, "Request head too large\n");
            return head;
        }
        // Junk is refused as soon as its first line has ended, not after the time limit.
        const int firstLineEnd = bytes.indexOf('\n');
        if (firstLineEnd >= 0 && !head.parseRequestLine(withoutCr(bytes.left(firstLineEnd))))
            return head;
        head.state = Incomplete;
        return head;
    }
    QList<QByteArray> lines = bytes.left(end).split('\n');
    lines.removeLast();   // what follows the last line feed: nothing
    if (!head.parseRequestLine(withoutCr(lines.first())))
        return head;
    lines.removeFirst();
    head.parseHeaders(lines, maxBodySize);
    if (head.state == Refused)
        return head;
    head.state = Complete;
    head.size = endSize;
    return head;
}

void ZeltoHttpHead::refuse(int code, const QByteArray &text)
{
    state = Refused;
    status = code;
    reason = text;
}

bool ZeltoHttpHead::parseRequestLine(const QByteArray &line)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !allOf(parts.at(0), isMethodChar) || !parts.at(1).startsWith('/')
        || !allOf(parts.at(1), isTargetChar)) {
        refuse(400, "Malformed request line\n");
        return false;
    }
    if (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0") {
        refuse(505, "Only HTTP/1.0 and HTTP/1.1 are served\n");
        return false;
    }
    request.method = parts.at(0);
    const QByteArray &target = parts.at(1);
    const int question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    http10 = parts.at(2) == "HTTP/1.0";
    return true;
}

void ZeltoHttpHead::parseHeaders(const QList<QByteArray> &lines, qint64 maxBodySize)
{
    int hosts = 0;
    int lengths = 0;
    for (const QByteArray &raw : lines) {
        const QByteArray line = withoutCr(raw);
        const int colon = line.indexOf(':');
        // Folded lines and names with blanks are refused, as RFC 9112 asks.
        if (colon <= 0 || !allOf(line.left(colon), isTokenChar)) {
            refuse(400, "Malformed header line\n");
            return;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (!isValueClean(value)) {
            refuse(400, "Malformed header line\n");
            return;
        }
        hosts += name == "host";
        lengths += name == "content-length";
        QByteArray &slot = request.headers[name];
        slot = slot.isEmpty() ? value : slot + ", " + value;
    }
    if (request.headers.contains("transfer-encoding")) {
        refuse(411, "Send the body with Content-Length\n");
        return;
    }
    if (hosts > 1 || (hosts == 0 && !http10)) {
        refuse(400, "One Host header is required\n");
        return;
    }
    if (lengths > 1) {
        refuse(400, "Content-Length given more than once\n");
        return;
    }
    if (lengths == 1) {
        const QByteArray text = request.headers.value("content-length");
        // Digits only (no sign, no blanks inside), and few enough to fit.
        if (text.isEmpty() || text.size() > 18 || !allOf(text, [](char c) { return c >= '0' && c <= '9'; })) {
            refuse(400, "Malformed Content-Length\n");
            return;
        }
        contentLength = text.toLongLong();
        hasContentLength = true;
        if (contentLength > maxBodySize) {
            refuse(413, "Request body too large\n");
            return;
        }
    }
}

QByteArray ZeltoHttpHead::reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 421: return "Misdirected Request";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return status >= 200 && status < 300 ? "OK" : "Error";
    }
}
