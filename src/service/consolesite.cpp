#include "consolesite.h"

#include "zelto.h"
#include "zeltohttpserver.h"
#include "zeltoserver.h"
#include "zeltostaticfolder.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <memory>

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
    // The WebSocket connection answers a broken upgrade request, or one from
    // a page of another site, itself.
    http->route("/rpc", [](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
        if (ZeltoHttpServer::allowOnly(request, response, {"GET"}))
            response.takeOver([](QTcpSocket *socket, const QByteArray &received) {
                ZeltoServer::global()->adoptWebSocket(socket, received);
            });
    });
}

}
