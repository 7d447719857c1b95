#include "zeltostaticfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

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
