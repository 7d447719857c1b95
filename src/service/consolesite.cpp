#include "consolesite.h"

#include "zelto.h"
#include "zeltohttpserver.h"
#include "zeltoserver.h"
#include "zeltostaticfolder.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <memory>

namespace {

// A browser names the page that opens a WebSocket in Origin. Sessions
// belong to connections, not cookies, but without "requireLogin" an
// anonymous connection may do everything: a page from another site that an
// operator happens to open must not reach the server through the browser.
// Clients that are not browsers send no Origin.
bool sameOrigin(const ZeltoHttpRequest &request)
{
    const QByteArray origin = request.header("origin");
    if (origin.isEmpty())
        return true;
    const int scheme = origin.indexOf("://");
    return scheme > 0 && origin.mid(scheme + 3).toLower() == request.header("host").toLower();
}

} // namespace

namespace ConsoleSite {

QString folder()
{
    for (const QString &candidate :
         {Zelto::moduleDir() + QStringLiteral("/console"), Zelto::dataDir() + QStringLiteral("/console"),
          QCoreApplication::applicationDirPath() + QStringLiteral("/console")}) {
        if (QFileInfo(candidate + QStringLiteral("/index.html")).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QString();
}

void install()
{
    ZeltoHttpServer *http = ZeltoHttpServer::global();
    const QString path = folder();
    if (path.isEmpty())
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                     QCoreApplication::translate("ConsoleSite", "Файлы веб-консоли не найдены"));
    else
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                     QCoreApplication::translate("ConsoleSite", "Веб-консоль: %1").arg(path));
    // Without the folder every path is simply not found.
    const auto files = std::make_shared<ZeltoStaticFolder>(path);
    http->routePrefix("/", [files](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
        files->serve(request, response);
    });
    // The WebSocket connection answers a broken upgrade request itself.
    http->route("/rpc", [](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
        if (!ZeltoHttpServer::allowOnly(request, response, {"GET"}))
            return;
        if (!sameOrigin(request))
            response.setText(403, "Forbidden: the page is not from this server\n");
        else
            response.takeOver([](QTcpSocket *socket, const QByteArray &received) {
                ZeltoServer::global()->adoptWebSocket(socket, received);
            });
    });
}

}
