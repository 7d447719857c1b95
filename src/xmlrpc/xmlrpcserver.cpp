#include "xmlrpcserver.h"

#include "apicommand.h"
#include "signin.h"

#include "database.h"
#include "maiafault.h"
#include "maiaobject.h"
#include "maiaxmlrpcserver.h"
#include "sessionscope.h"
#include "tablexmlreader.h"
#include "tablexmlwriter.h"
#include "tasks.h"
#include "user.h"
#include "users.h"
#include "zeltocommand.h"
#include "zeltorequestbuffers.h"
#include "zeltosystem.h"
#include "zeltotable.h"


namespace {

const QString kLowerCaseDateTime = QStringLiteral("xmlRpcLowerCaseDateTime");
const QString kRequestTimeout = QStringLiteral("xmlRpcRequestTimeout");
const QString kRequestBufferLimit = QStringLiteral("requestBufferLimit");
const int kDefaultRequestTimeoutMs = 30000;
const QString kTokenIdleTime = QStringLiteral("xmlRpcTokenIdleTime");
const int kDefaultTokenIdleMinutes = 60;

int requestTimeout(const QVariant &value)
{
    bool ok = false;
    const int ms = value.toInt(&ok);
    return ok && ms > 0 ? ms : kDefaultRequestTimeoutMs;
}

// Minutes as milliseconds; what is no positive number of minutes gives the default.
qint64 tokenIdleMs(const QVariant &value)
{
    bool ok = false;
    const qlonglong minutes = value.toLongLong(&ok);
    const qlonglong days = 366 * 24 * 60;  // more would be forever anyway
    return qint64(ok && minutes > 0 ? qMin(minutes, days) : kDefaultTokenIdleMinutes) * 60000;
}

} // namespace

XmlRpcServer::XmlRpcServer(Database *database, const QHostAddress &address, QObject *parent, ZeltoClock *clock)
    : QObject(parent),
      m_database(database),
      m_address(address),
      m_clock(clock),
      m_tokens(tokenIdleMs(database->setting(kTokenIdleTime).value()))
{
    // A setting that cannot be read is taken as its default.
    MaiaObject::setLowerCaseDateTime(database->setting(kLowerCaseDateTime, false).valueOr(false).toBool());
    const int timeoutMs = requestTimeout(
        database->setting(kRequestTimeout, kDefaultRequestTimeoutMs).valueOr(kDefaultRequestTimeoutMs));
    connect(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged, this, &XmlRpcServer::onPropertyChanged,
            Qt::QueuedConnection);

    m_listener = new MaiaXmlRpcServer(database, this);
    m_listener->setRequestTimeout(timeoutMs);
    m_listener->setRequestBufferLimit(ZeltoRequestBuffers::limitFromSetting(database->setting(kRequestBufferLimit).value()));
    for (const char *method : {"login", "logout", "getGroups", "getNodes", "getCheckLog", "getArchive", "exportNodes",
                               "importNodes", "getTasks", "startMainTask", "startTask", "cancelTask", "getTaskState"})
        m_listener->addMethod(QLatin1String(method), this, method);
}

bool XmlRpcServer::listen(quint16 port)
{
    return m_listener->listen(port, m_address);
}

void XmlRpcServer::close()
{
    m_listener->close();
}

bool XmlRpcServer::isListening() const
{
    return m_listener->isListening();
}

quint16 XmlRpcServer::port() const
{
    return m_listener->serverPort();
}

void XmlRpcServer::onPropertyChanged(const QString &name, const QVariant &value)
{
    if (name == kLowerCaseDateTime)
        MaiaObject::setLowerCaseDateTime(value.toBool());
    else if (name == kRequestTimeout)
        m_listener->setRequestTimeout(requestTimeout(value));
    else if (name == kTokenIdleTime)
        m_tokens.setIdleMs(tokenIdleMs(value));
    else if (name == kRequestBufferLimit)
        m_listener->setRequestBufferLimit(ZeltoRequestBuffers::limitFromSetting(value));
}

QVariant XmlRpcServer::fault(const ZeltoStatus &status)
{
    return MaiaFault(0, status.message()).toVariant();
}

ZeltoResult<QVariant> XmlRpcServer::runCommand(const QString &command, const QVariantList &params)
{
    ZeltoCommand *found = ZeltoCommand::find(command);
    if (!found)
        return ZeltoStatus::notFound(tr("Команда %1 не найдена").arg(command));
    return found->call(params);
}

QVariant XmlRpcServer::login(const QString &name, const QString &password)
{
    SessionScope scope(m_listener->currentPeerAddress());
    const ZeltoResult<QVariantMap> row = SignIn::logIn(name, password);
    if (!row.ok())
        return fault(row.status());
    User::logout();
    const int userId = row.value().value(QStringLiteral("id")).toInt();
    const QString token = m_tokens.issue(userId, Users::passwordStamp(m_database, userId), m_clock->monotonicMs());
    if (token.isEmpty())
        return fault(ZeltoStatus::failed(tr("Не удалось выдать токен XML-RPC")));
    return token;
}

QVariant XmlRpcServer::logout(const QString &token)
{
    m_tokens.revoke(token);
    return QVariant();
}

QVariant XmlRpcServer::call(const QString &token, const QString &right, const std::function<ZeltoResult<QVariant>()> &work)
{
    SessionScope scope(m_listener->currentPeerAddress());
    const XmlRpcTokens::Holder *holder = m_tokens.use(token, m_clock->monotonicMs());
    // The password changed or the user went: the token is done with.
    if (!holder || !SignIn::resume(holder->userId, holder->passwordStamp)) {
        m_tokens.revoke(token);
        return fault(ZeltoStatus::failed(tr("Токен XML-RPC недействителен: войдите заново")));
    }
    const ZeltoStatus allowed = right.isEmpty() ? ZeltoStatus() : User::checkAccess(right);
    const ZeltoResult<QVariant> result = allowed.ok() ? work() : ZeltoResult<QVariant>(allowed);
    User::logout();
    return result.ok() ? result.value() : fault(result.status());
}

QVariant XmlRpcServer::readTable(const QString &token, const QString &command, const QVariantList &params)
{
    return call(token, QString(), [&]() -> ZeltoResult<QVariant> {
        const ZeltoResult<QVariant> table = runCommand(command, params);
        if (!table.ok())
            return table;
        TableXmlWriter writer;
        writer.writeTableDocument(table.value().value<ZeltoTable>());
        return QVariant(writer.text());
    });
}

QVariant XmlRpcServer::getGroups(const QString &token)
{
    return readTable(token, QStringLiteral("getGroups"), {});
}

QVariant XmlRpcServer::getNodes(const QString &token)
{
    return readTable(token, QStringLiteral("getNodes"), {});
}

QVariant XmlRpcServer::getCheckLog(const QString &token, int nodeId, const QDateTime &firstTime,
                                   const QDateTime &lastTime)
{
    return readTable(token, QStringLiteral("getCheckLog"), {nodeId, firstTime, lastTime});
}

QVariant XmlRpcServer::getArchive(const QString &token, int nodeId, const QString &code, const QDateTime &firstTime,
                                  const QDateTime &lastTime)
{
    return readTable(token, QStringLiteral("getArchive"), {nodeId, code, firstTime, lastTime});
}

QVariant XmlRpcServer::getTasks(const QString &token)
{
    return readTable(token, QStringLiteral("getTasks"), {});
}

QVariant XmlRpcServer::exportNodes(const QString &token, const QVariantList &ids)
{
    return call(token, QStringLiteral("exportNode"), [&]() -> ZeltoResult<QVariant> {
        QVariantList packages;
        for (const QVariant &id : ids) {
            // Nodes that cannot be exported (unknown, not visible) are left out.
            const ZeltoResult<QVariant> package = runCommand(QStringLiteral("exportNode"), {id});
            if (package.ok())
                packages.append(package.value());
        }
        TableXmlWriter writer;
        writer.writeNodesDocument(packages);
        return QVariant(writer.text());
    });
}

QVariant XmlRpcServer::importNodes(const QString &token, const QString &xml)
{
    return call(token, QStringLiteral("importNode"), [&]() -> ZeltoResult<QVariant> {
        TableXmlReader reader(xml);
        const bool complete = reader.readNodesDocument();
        int imported = 0;
        const QVariantList &nodes = reader.nodes();
        for (int i = 0; i < nodes.size(); ++i) {
            // A node that fails leaves the others to go on; why it failed
            // goes to the journal.
            const ZeltoResult<QVariant> stored = runCommand(QStringLiteral("importNode"), {nodes.at(i)});
            if (stored.ok())
                ++imported;
            else
                ApiCommand::currentContext().journal(
                    QStringLiteral("ERROR"),
                    tr("Узел %1 пакета не импортирован: %2").arg(i + 1).arg(stored.status().message()));
        }
        if (complete)
            return QVariant(imported);
        // The nodes before a break in the document are imported; the
        // client learns of the break and how many went in.
        return ZeltoStatus::invalid(tr("%1 (импортировано узлов: %2)").arg(reader.errorString()).arg(imported));
    });
}

QVariant XmlRpcServer::startMainTask(const QString &token, int nodeId)
{
    return call(token, QStringLiteral("startTask"), [&]() -> ZeltoResult<QVariant> {
        const ZeltoResult<int> taskId = Tasks::mainTaskOfNode(ApiCommand::currentContext(), nodeId);
        if (!taskId.ok())
            return taskId.status();
        const ZeltoResult<QVariant> started = runCommand(QStringLiteral("startTask"), {taskId.value()});
        return started.ok() ? ZeltoResult<QVariant>(QVariant(taskId.value())) : started;
    });
}

QVariant XmlRpcServer::startTask(const QString &token, int taskId)
{
    return call(token, QStringLiteral("startTask"), [&]() -> ZeltoResult<QVariant> {
        const ZeltoResult<QVariant> started = runCommand(QStringLiteral("startTask"), {taskId});
        return started.ok() ? ZeltoResult<QVariant>(QVariant()) : started;
    });
}

QVariant XmlRpcServer::cancelTask(const QString &token, int taskId)
{
    return call(token, QStringLiteral("cancelTask"), [&]() -> ZeltoResult<QVariant> {
        const ZeltoResult<QVariant> cancelled = runCommand(QStringLiteral("cancelTask"), {taskId});
        return cancelled.ok() ? ZeltoResult<QVariant>(QVariant()) : cancelled;
    });
}

QVariant XmlRpcServer::getTaskState(const QString &token, int taskId)
{
    return call(token, QString(), [&]() { return runCommand(QStringLiteral("getTaskState"), {taskId}); });
}
