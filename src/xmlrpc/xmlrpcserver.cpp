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

XmlRpcServer *g_instance = nullptr;

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

XmlRpcServer::XmlRpcServer(const QHostAddress &address, QObject *parent, ZeltoClock *clock)
    : QObject(parent),
      m_address(address),
      m_clock(clock),
      m_tokens(tokenIdleMs(Database::getSetting(kTokenIdleTime)))
{
    g_instance = this;
    MaiaObject::setLowerCaseDateTime(Database::getSetting(kLowerCaseDateTime, false).toBool());
    const int timeoutMs = requestTimeout(Database::getSetting(kRequestTimeout, kDefaultRequestTimeoutMs));
    connect(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged, this, &XmlRpcServer::onPropertyChanged,
            Qt::QueuedConnection);

    m_listener = new MaiaXmlRpcServer(this);
    m_listener->setRequestTimeout(timeoutMs);
    m_listener->setRequestBufferLimit(ZeltoRequestBuffers::limitFromSetting(Database::getSetting(kRequestBufferLimit)));
    for (const char *method : {"login", "logout", "getGroups", "getNodes", "getCheckLog", "getArchive", "exportNodes",
                               "importNodes", "getTasks", "startMainTask", "startTask", "cancelTask", "getTaskState"})
        m_listener->addMethod(QLatin1String(method), this, method);
}

XmlRpcServer::~XmlRpcServer()
{
    if (g_instance == this)
        g_instance = nullptr;
}

XmlRpcServer *XmlRpcServer::instance()
{
    return g_instance;
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

QVariant XmlRpcServer::fault()
{
    return MaiaFault(0, ZeltoSystem::instance()->lastError()).toVariant();
}

QVariant XmlRpcServer::runCommand(const QString &command, const QVariantList &params)
{
    ZeltoCommand *found = ZeltoCommand::find(command);
    if (!found) {
        ZeltoSystem::instance()->fail(ZeltoStatus::notFound(tr("Команда %1 не найдена").arg(command)));
        return QVariant();
    }
    return found->execute(params);
}

QVariant XmlRpcServer::login(const QString &name, const QString &password)
{
    SessionScope scope(m_listener->currentPeerAddress());
    const QVariantMap row = zeltoReport(SignIn::logIn(name, password), QVariantMap());
    if (row.isEmpty())
        return fault();
    User::logout();
    const int userId = row.value(QStringLiteral("id")).toInt();
    const QString token = m_tokens.issue(userId, Users::passwordStamp(ApiCommand::currentContext().database(), userId), m_clock->monotonicMs());
    if (token.isEmpty()) {
        ZeltoSystem::instance()->error(tr("Не удалось выдать токен XML-RPC"));
        return fault();
    }
    return token;
}

QVariant XmlRpcServer::logout(const QString &token)
{
    m_tokens.revoke(token);
    return QVariant();
}

QVariant XmlRpcServer::call(const QString &token, const QString &right, const std::function<bool(QVariant &)> &work)
{
    SessionScope scope(m_listener->currentPeerAddress());
    const XmlRpcTokens::Holder *holder = m_tokens.use(token, m_clock->monotonicMs());
    // The password changed or the user went: the token is done with.
    if (!holder || !SignIn::resume(holder->userId, holder->passwordStamp)) {
        m_tokens.revoke(token);
        ZeltoSystem::instance()->error(tr("Токен XML-RPC недействителен: войдите заново"));
        return fault();
    }
    QVariant result;
    const bool ok = (right.isEmpty() || zeltoReport(User::checkAccess(right))) && work(result);
    const QVariant answer = ok ? result : fault();
    User::logout();
    return answer;
}

QVariant XmlRpcServer::readTable(const QString &token, const QString &command, const QVariantList &params)
{
    return call(token, QString(), [&](QVariant &result) {
        const QVariant table = runCommand(command, params);
        if (!table.isValid())
            return false;
        TableXmlWriter writer;
        writer.writeTableDocument(table.value<ZeltoTable>());
        result = writer.text();
        return true;
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
    return call(token, QStringLiteral("exportNode"), [&](QVariant &result) {
        QVariantList packages;
        for (const QVariant &id : ids) {
            // Nodes that cannot be exported (unknown, not visible) are left out.
            const QVariant package = runCommand(QStringLiteral("exportNode"), {id});
            if (package.isValid())
                packages.append(package);
        }
        TableXmlWriter writer;
        writer.writeNodesDocument(packages);
        result = writer.text();
        return true;
    });
}

QVariant XmlRpcServer::importNodes(const QString &token, const QString &xml)
{
    return call(token, QStringLiteral("importNode"), [&](QVariant &result) {
        TableXmlReader reader(xml);
        const bool complete = reader.readNodesDocument();
        const QString readError = ZeltoSystem::instance()->lastError();
        int imported = 0;
        const QVariantList &nodes = reader.nodes();
        for (int i = 0; i < nodes.size(); ++i) {
            // A node that fails leaves the others to go on; why it failed
            // goes to the journal.
            if (runCommand(QStringLiteral("importNode"), {nodes.at(i)}).isValid())
                ++imported;
            else
                ApiCommand::currentContext().journal(QStringLiteral("ERROR"),
                                                     tr("Узел %1 пакета не импортирован: %2")
                                                         .arg(i + 1)
                                                         .arg(ZeltoSystem::instance()->lastError()));
        }
        if (complete) {
            result = imported;
            return true;
        }
        // The nodes before a break in the document are imported; the
        // client learns of the break and how many went in.
        return ZeltoSystem::instance()->error(tr("%1 (импортировано узлов: %2)").arg(readError).arg(imported));
    });
}

QVariant XmlRpcServer::startMainTask(const QString &token, int nodeId)
{
    return call(token, QStringLiteral("startTask"), [&](QVariant &result) {
        const int taskId = zeltoReport(Tasks::mainTaskOfNode(ApiCommand::currentContext(), nodeId), -1);
        if (taskId == -1 || !runCommand(QStringLiteral("startTask"), {taskId}).isValid())
            return false;
        result = taskId;
        return true;
    });
}

QVariant XmlRpcServer::startTask(const QString &token, int taskId)
{
    return call(token, QStringLiteral("startTask"), [&](QVariant &) {
        return runCommand(QStringLiteral("startTask"), {taskId}).isValid();
    });
}

QVariant XmlRpcServer::cancelTask(const QString &token, int taskId)
{
    return call(token, QStringLiteral("cancelTask"), [&](QVariant &) {
        return runCommand(QStringLiteral("cancelTask"), {taskId}).isValid();
    });
}

QVariant XmlRpcServer::getTaskState(const QString &token, int taskId)
{
    return call(token, QString(), [&](QVariant &result) {
        result = runCommand(QStringLiteral("getTaskState"), {taskId});
        return result.isValid();
    });
}
