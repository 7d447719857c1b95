#include "zeltostaticfolder.h"

#include "zeltohttpserver.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace {

// The console's files are small; anything bigger is not one of them.
const qint64 kMaxFileSize = 16 * 1024 * 1024;

} // namespace

ZeltoStaticFolder::ZeltoStaticFolder(const QString &root) : m_root(QFileInfo(root).canonicalFilePath()) {}

ZeltoStaticFolder::File ZeltoStaticFolder::resolve(const QByteArray &requestPath) const
{
    File file;
    if (m_root.isEmpty() || !requestPath.startsWith('/'))
        return file;
    const QByteArray decoded = QByteArray::fromPercentEncoding(requestPath);
    if (decoded.contains('\0') || decoded.contains('\\'))
        return file;
    const QString path = QString::fromUtf8(decoded);
    // A path that is not UTF-8 names no file of ours.
    if (path.toUtf8() != decoded)
        return file;
    QStringList segments = path.mid(1).split(QLatin1Char('/'));
    if (segments.constLast().isEmpty())
        segments.last() = QStringLiteral("index.html");
    for (const QString &segment : qAsConst(segments))
        if (segment.isEmpty() || segment.startsWith(QLatin1Char('.')))
            return file;
    // Symbolic links are followed, but what they lead to must lie inside.
    const QFileInfo info(m_root + QLatin1Char('/') + segments.join(QLatin1Char('/')));
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !canonical.startsWith(m_root + QLatin1Char('/')) || !QFileInfo(canonical).isFile())
        return file;
    file.status = 200;
    file.path = canonical;
    file.contentType = contentType(canonical);
    return file;
}

void ZeltoStaticFolder::serve(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const
{
    if (!ZeltoHttpServer::allowOnly(request, response, {"GET", "HEAD"}))
        return;
    const File file = resolve(request.path);
    QFile content(file.path);
    if (file.status != 200 || content.size() > kMaxFileSize || !content.open(QIODevice::ReadOnly)) {
        response.setText(404, "Not found\n");
        return;
    }
    response.status = 200;
    response.contentType = file.contentType;
    response.body = content.readAll();
    response.headers = {
        {"Cache-Control", "no-cache"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy", "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:; "
                                    "style-src 'self' 'unsafe-inline'; frame-ancestors 'none'"},
    };
}

QByteArray ZeltoStaticFolder::contentType(const QString &fileName)
{
    static const QHash<QString, QByteArray> types{
        {QStringLiteral("html"), "text/html; charset=utf-8"},
        {QStringLiteral("js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("mjs"), "text/javascript; charset=utf-8"},
        {QStringLiteral("css"), "text/css; charset=utf-8"},
        {QStringLiteral("json"), "application/json"},
        {QStringLiteral("svg"), "image/svg+xml"},
        {QStringLiteral("png"), "image/png"},
        {QStringLiteral("ico"), "image/x-icon"},
        {QStringLiteral("woff2"), "font/woff2"},
        {QStringLiteral("txt"), "text/plain; charset=utf-8"},
    };
    return types.value(QFileInfo(fileName).suffix().toLower(), "application/octet-stream");
}
