#include "maiaxmlrpcserver.h"

#include "database.h"
#include "maiafault.h"
#include "maiaobject.h"
#include "zeltohttpserver.h"
#include "zeltopeeraddress.h"
#include "zeltoserver.h"

#include <QMetaMethod>
#include <QTimer>

namespace {

const int kMaxParams = 10;
// How long a call waits before it looks again whether the server's other
// work is done.
const int kBusyRetryMs = 20;
const int kDefaultTimeoutMs = 30000;

// Every answer, faults included, is status 200 with these headers, as
// XML-RPC clients have always had them.
ZeltoHttpResponse document(const QByteArray &xml)
{
    ZeltoHttpResponse response;
    response.contentType = "text/xml";
    response.body = xml;
    response.headers = {{"Server", "MaiaXmlRpc/0.1"}, {"Access-Control-Allow-Origin", "*"}};
    return response;
}

// The XML-RPC name of a value's type, as a client wrote it.
QString wireType(int metaType)
{
    switch (metaType) {
    case QMetaType::Int: return QStringLiteral("int");
    case QMetaType::Double: return QStringLiteral("double");
    case QMetaType::Bool: return QStringLiteral("boolean");
    case QMetaType::QString: return QStringLiteral("string");
    case QMetaType::QByteArray: return QStringLiteral("base64");
    case QMetaType::QDateTime: return QStringLiteral("dateTime.iso8601");
    case QMetaType::QVariantList: return QStringLiteral("array");
    case QMetaType::QVariantMap: return QStringLiteral("struct");
    default: return QStringLiteral("nil");
    }
}

// What is wrong with a call's parameters for the slot of that name, so that
// the client's author sees which one to fix: "parameter 2 (nodeId) of
// getArchive must be int, got string". Empty when nothing can be said.
QString paramsMismatch(const QMetaObject *meta, const char *slot, const QVariantList &params)
{
    for (int m = meta->methodOffset(); m < meta->methodCount(); ++m) {
        const QMetaMethod method = meta->method(m);
        if (method.name() != slot)
            continue;
        const QList<QByteArray> names = method.parameterNames();
        QStringList expected;
        for (int i = 0; i < method.parameterCount(); ++i)
            expected << QStringLiteral("%1: %2").arg(QString::fromLatin1(names.at(i)), wireType(method.parameterType(i)));
        if (params.size() != method.parameterCount())
            return QStringLiteral("%1 takes %2 (%3), got %4")
                .arg(QLatin1String(slot))
                .arg(method.parameterCount() == 1 ? QStringLiteral("1 parameter")
                                                  : QStringLiteral("%1 parameters").arg(method.parameterCount()))
                .arg(expected.join(QStringLiteral(", ")))
                .arg(params.size());
        for (int i = 0; i < params.size(); ++i) {
            if (params.at(i).userType() != method.parameterType(i))
                return QStringLiteral("parameter %1 (%2) of %3 must be %4, got %5")
                    .arg(i + 1)
                    .arg(QString::fromLatin1(names.at(i)), QLatin1String(slot), wireType(method.parameterType(i)),
                         wireType(params.at(i).userType()));
        }
    }
    return QString();
}

} // namespace

MaiaXmlRpcServer::MaiaXmlRpcServer(Database *database, QObject *parent)
    : QObject(parent), m_database(database), m_http(new ZeltoHttpServer(QStringLiteral("XML-RPC"), this))
{
    m_http->setMaxBodySize(kMaxBodySize);
    m_http->setMaxConnections(kMaxConnections);
    m_http->setRequestTimeout(kDefaultTimeoutMs);
    m_http->routePrefix("/", [this](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
        onRequest(request, response);
    });
    m_http->setOversizeHandler([](const ZeltoHttpRequest &, ZeltoHttpResponse &response) {
        response = document(MaiaObject::fault(MaiaFault::InvalidRequest,
                                              QStringLiteral("server error: request body over %1 MiB")
                                                  .arg(kMaxBodySize / (1024 * 1024))));
    });
}

bool MaiaXmlRpcServer::listen(quint16 port, const QHostAddress &address)
{
    return m_http->listen(port, address);
}

void MaiaXmlRpcServer::close()
{
    m_http->close();
}

bool MaiaXmlRpcServer::isListening() const
{
    return m_http->port() != 0;
}

quint16 MaiaXmlRpcServer::serverPort() const
{
    return m_http->port();
}

QString MaiaXmlRpcServer::errorString() const
{
    return m_http->errorString();
}

void MaiaXmlRpcServer::setRequestTimeout(int ms)
{
    m_http->setRequestTimeout(ms);
}

void MaiaXmlRpcServer::setRequestBufferLimit(qint64 bytes)
{
    m_http->setRequestBufferLimit(bytes);
}

void MaiaXmlRpcServer::addMethod(const QString &method, QObject *responder, const char *slot)
{
    m_responders.insert(method, responder);
    m_slots.insert(method, QByteArray(slot));
}

void MaiaXmlRpcServer::getMethod(const QString &method, QObject **responder, const char **slot)
{
    const auto found = m_slots.constFind(method);
    if (found == m_slots.constEnd() || !m_responders.value(method)) {
        *responder = nullptr;
        *slot = nullptr;
        return;
    }
    *responder = m_responders.value(method);
    *slot = found->constData();
}

void MaiaXmlRpcServer::onRequest(const ZeltoHttpRequest &request, ZeltoHttpResponse &response)
{
    // The CORS preflight, so that browser pages may call.
    if (request.method == "OPTIONS") {
        response.contentType.clear();
        response.headers = {{"Access-Control-Allow-Origin", "*"},
                            {"Access-Control-Allow-Methods", "POST"},
                            {"Access-Control-Allow-Headers", "content-type"}};
        return;
    }
    if (!ZeltoHttpServer::allowOnly(request, response, {"POST", "OPTIONS"}))
        return;
    if (!request.headers.contains("content-length")) {
        response.setText(411, "A call needs its Content-Length\n");
        return;
    }
    // This runs inside the socket's signal: the call waits for its turn.
    m_ready.enqueue(response.defer());
    scheduleNext(0);
}

void MaiaXmlRpcServer::scheduleNext(int delayMs)
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(delayMs, this, &MaiaXmlRpcServer::runNext);
}

bool MaiaXmlRpcServer::serverBusy() const
{
    return ZeltoServer::global()->clientId() >= 0 || (m_database && m_database->openScopes() > 0);
}

void MaiaXmlRpcServer::runNext()
{
    m_scheduled = false;
    if (m_ready.isEmpty())
        return;
    if (serverBusy() || m_running) {
        scheduleNext(kBusyRetryMs);
        return;
    }
    // One call per turn of the event loop: the RPC clients get theirs between.
    // A client that has gone meanwhile is not answered, and its call not run.
    const ZeltoHttpDeferredResponse reply = m_ready.dequeue();
    if (const ZeltoHttpRequest *request = reply.request()) {
        const QByteArray body = request->body;
        m_running = true;
        m_currentPeer = ZeltoPeerAddress::text(request->peer);
        const QByteArray answer = handle(body);
        m_currentPeer = QString();
        m_running = false;
        reply.send(document(answer));
    }
    if (!m_ready.isEmpty())
        scheduleNext(0);
}

QByteArray MaiaXmlRpcServer::handle(const QByteArray &body)
{
    QString method;
    QVariantList params;
    MaiaFault fault;
    if (!MaiaObject::readCall(body, method, params, fault))
        return MaiaObject::fault(fault);

    QObject *responder = nullptr;
    const char *slot = nullptr;
    getMethod(method, &responder, &slot);
    if (!responder)
        return MaiaObject::fault(MaiaFault::MethodNotFound, QStringLiteral("server error: requested method not found"));

    // The text clients compare stays first; what is wrong follows it.
    const auto invalidParams = [&]() {
        QString text = QStringLiteral("server error: invalid method parameters");
        const QString detail = paramsMismatch(responder->metaObject(), slot, params);
        if (!detail.isEmpty())
            text += QStringLiteral(": ") + detail;
        return MaiaObject::fault(MaiaFault::InvalidParams, text);
    };
    if (params.size() > kMaxParams)
        return invalidParams();
    QByteArray signature = QByteArray(slot) + '(';
    for (int i = 0; i < params.size(); ++i) {
        // A value that could not be read has no type, and no slot takes it.
        if (!params.at(i).isValid())
            return invalidParams();
        if (i > 0)
            signature += ',';
        signature += params.at(i).typeName();
    }
    signature += ')';
    const QMetaObject *meta = responder->metaObject();
    const int index = meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData()).constData());
    if (index < 0 || meta->method(index).returnType() != QMetaType::QVariant)
        return invalidParams();

    QGenericArgument args[kMaxParams];
    for (int i = 0; i < params.size(); ++i)
        args[i] = QGenericArgument(params.at(i).typeName(), params.at(i).constData());
    QVariant result;
    if (!meta->method(index).invoke(responder, Qt::DirectConnection, Q_RETURN_ARG(QVariant, result), args[0], args[1],
                                    args[2], args[3], args[4], args[5], args[6], args[7], args[8], args[9]))
        return invalidParams();
    if (MaiaFault::isFault(result))
        return MaiaObject::fault(result.value<MaiaFault>());
    return MaiaObject::response(result);
}
