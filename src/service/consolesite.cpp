#include "consolesite.h"

#include "database.h"
#include "zelto.h"
#include "zeltohttpserver.h"
#include "zeltoserver.h"
#include "zeltostaticfolder.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QUrl>

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

QJsonArray otherServers(Database *database)
{
    QJsonArray list;
    if (!database)
        return list;
    const QVariant setting = database->setting(QStringLiteral("consoleServers")).value();
    // One address as text counts as a list of one.
    const QStringList entries =
        setting.type() == QVariant::String ? QStringList{setting.toString()} : setting.toStringList();
    for (const QString &entry : entries) {
        const QUrl url(entry.trimmed(), QUrl::StrictMode);
        if (url.isValid() && !url.host().isEmpty() && (url.scheme() == QLatin1String("ws") || url.scheme() == QLatin1String("wss")))
            list.append(url.toString());
    }
    return list;
}

void install(Database *database)
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
    // The other servers of the installation, for the page to go on with when this one stops answering.
    // The route outlives the database when the server turns standby.
    const QPointer<Database> servers(database);
    http->route("/servers.json", [servers](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
        if (!ZeltoHttpServer::allowOnly(request, response, {"GET", "HEAD"}))
            return;
        response.contentType = "application/json";
        response.body = QJsonDocument(otherServers(servers)).toJson(QJsonDocument::Compact);
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
