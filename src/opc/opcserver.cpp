#include "opcserver.h"

#include "archivestore.h"
#include "changeevents.h"
#include "database.h"
#include "datamonitor.h"
#include "metadatacatalogue.h"
#include "nodes.h"
#include "opcendpointaddress.h"
#include "opcgateway.h"
#include "opcitemnames.h"
#include "opcvisibility.h"
#include "parameterdescriber.h"
#include "unitcodes.h"
#include "users.h"
#include "zelto.h"
#include "zeltobusyguard.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QMap>
#include <QMutexLocker>
#include <QTimer>

#include <limits>
#include <utility>

namespace {

const QString kOp = QStringLiteral("op");
const QString kMonError = QStringLiteral("MON_ERR");
// Nodes per "nodes" message: keeps each line small.
const int kNodesPerMessage = 100;
// A one-shot read of an unused item watches its node this long.
const int kReadHoldMs = 60000;
// Version of the line protocol this side speaks (docs/protocol.md). The
// address space goes as shapes and nodes:
//   shape = {"op":"shape", "shape":id, "items":[[leaf, type, unit|null, unitCode|null, description|null], ...]}
//   nodes = {"op":"nodes", "nodes":[{"node":id, "branch":text, "shape":id, "time":text|null,
//                                    "values":[...], "qualities":[...]}, ...]}
// an item's id being branch + separator + leaf. Compatible as the rest of
// the protocol: unknown fields are ignored; what an older gateway would
// misread raises the version (3: shapes and nodes instead of whole items).
const int kProtocolVersion = 3;
// The settings the gateway and the item names are made from, with their defaults.
const QMap<QString, QVariant> &opcSettings()
{
    static const QMap<QString, QVariant> settings = {
        {QStringLiteral("opcPort"), QVariant()},
        {QStringLiteral("opcAnonymous"), false},
        {QStringLiteral("opcSecurityNone"), true},
        {QStringLiteral("opcTrustClients"), false},
        {QStringLiteral("opcHostName"), QVariant()},
        {QStringLiteral("useRussianInOPC"), true},
        {QStringLiteral("opcNodeFormat"), OpcItemNames::defaultNodeFormat()}};
    return settings;
}

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QStringList stringList(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &element : value.toArray()) {
        if (element.isString())
            list.append(element.toString());
    }
    return list;
}

// A change of the user record itself.
bool changesUser(const QString &event)
{
    return event == ChangeEvents::UserSaved || event == ChangeEvents::UserRemoved;
}

// The changes after which a user may see other nodes: their groups, the
// groups' nodes, the user itself.
bool changesViews(const QString &event)
{
    return changesUser(event) || event == ChangeEvents::GroupSaved || event == ChangeEvents::GroupRemoved
        || event == ChangeEvents::NodeSaved || event == ChangeEvents::NodeRemoved;
}

} // namespace

OPCServer::OPCServer(Database *database, DataMonitor *monitor, QObject *parent)
    : QObject(parent), m_database(database), m_monitor(monitor)
{
    if (monitor)
        connect(monitor, &DataMonitor::nodeMonitored, this, &OPCServer::updateNode, Qt::QueuedConnection);
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &OPCServer::onNotification,
            Qt::QueuedConnection);
    connect(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged, this, &OPCServer::onPropertyChanged,
            Qt::QueuedConnection);
}

OPCServer::~OPCServer()
{
    stop();
}

void OPCServer::start(const QHostAddress &listenAddress)
{
    m_active = true;
    m_listenAddress = listenAddress;
    m_startedWith = settings();
    startGateway();
}

void OPCServer::stop()
{
    m_active = false;
    stopGateway();
}

QVariant OPCServer::setting(const QString &name) const
{
    // Read without storing the default: a first start leaves the settings
    // table as it was. One that cannot be read is taken as its default.
    const QVariant value = m_database ? m_database->setting(name).value() : QVariant();
    return value.isNull() ? opcSettings().value(name) : value;
}

QVariantList OPCServer::settings() const
{
    QVariantList values;
    for (auto it = opcSettings().constBegin(); it != opcSettings().constEnd(); ++it)
        values.append(setting(it.key()));
    return values;
}

void OPCServer::onPropertyChanged(const QString &name)
{
    // A changed security option or naming takes effect at once: the
    // gateway is started anew (its clients reconnect). Writing a value
    // that is already there changes nothing. The service opens, moves and
    // closes the port itself, by start() and stop().
    if (!m_active || !opcSettings().contains(name) || name == QLatin1String("opcPort"))
        return;
    const QVariantList now = settings();
    if (now == m_startedWith)
        return;
    m_startedWith = now;
    // Only the naming settings change the address space: after any other
    // the one built (or being built) serves the new process too.
    const bool renamed = namingSettings() != m_builtNaming;
    const bool building = m_building;
    stopGateway();
    if (renamed || building)
        startGateway();
    else
        launchGateway();
}

QVariantList OPCServer::namingSettings() const
{
    return {setting(QStringLiteral("useRussianInOPC")), setting(QStringLiteral("opcNodeFormat"))};
}

void OPCServer::startGateway()
{
    const QVariant port = setting(QStringLiteral("opcPort"));
    if (port.isNull() || port.toString().isEmpty())
        return;
    bool ok = false;
    const int number = port.toString().toInt(&ok);
    if (!ok || number < 1 || number > 65535) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogError,
                                     tr("Неверный порт OPC UA \"opcPort\": %1, OPC не запущен").arg(port.toString()));
        return;
    }
    // Thousands of nodes take seconds: the clients are served meanwhile,
    // and the gateway is launched with the whole address space.
    m_launchWhenBuilt = true;
    buildAddressSpaceInSteps();
}

void OPCServer::launchGateway()
{
    if (!m_gateway) {
        m_gateway = new OpcGateway(this);
        connect(m_gateway, &OpcGateway::started, this, &OPCServer::onGatewayStarted);
        connect(m_gateway, &OpcGateway::finished, this, &OPCServer::onGatewayFinished);
        connect(m_gateway, &OpcGateway::received, this, &OPCServer::onGatewayMessage);
    }
    // It logs what keeps it from starting.
    m_gateway->start();
}

void OPCServer::stopGateway()
{
    // A build or a stream under way ends with it.
    m_launchWhenBuilt = false;
    m_building = false;
    ++m_buildGeneration;
    ++m_streamGeneration;
    if (!gatewayActive())
        return;
    // The process ends in the background: closing its sessions takes a
    // while, which no client waits for.
    m_gateway->stop();
    onGatewayFinished();
}

bool OPCServer::gatewayActive() const
{
    return m_gateway && m_gateway->isActive();
}

OpcItemNames OPCServer::itemNames() const
{
    const bool russian = setting(QStringLiteral("useRussianInOPC")).toBool();
    const QString format = setting(QStringLiteral("opcNodeFormat")).toString();
    return OpcItemNames(russian, format, MetadataCatalogue::instance());
}

void OPCServer::buildAddressSpace()
{
    beginBuild();
    while (buildStep(std::numeric_limits<int>::max())) {
    }
    finishBuild();
}

void OPCServer::buildAddressSpaceInSteps(int nodesPerStep)
{
    beginBuild();
    const int generation = m_buildGeneration;
    QTimer::singleShot(0, this, [this, generation, nodesPerStep]() { continueBuild(generation, nodesPerStep); });
}

void OPCServer::continueBuild(int generation, int nodesPerStep)
{
    if (generation != m_buildGeneration)
        return;
    // Not inside a save that runs a check script: its rows are not committed.
    if (ZeltoBusyGuard::defer(this, [this, generation, nodesPerStep]() { continueBuild(generation, nodesPerStep); }))
        return;
    if (buildStep(nodesPerStep)) {
        QTimer::singleShot(0, this, [this, generation, nodesPerStep]() { continueBuild(generation, nodesPerStep); });
        return;
    }
    finishBuild();
    if (std::exchange(m_launchWhenBuilt, false) && m_active)
        launchGateway();
    emit addressSpaceBuilt();
}

void OPCServer::beginBuild()
{
    ++m_buildGeneration;
    m_building = true;
    m_builtNaming = namingSettings();
    {
        QMutexLocker lock(&m_mutex);
        m_space.clear(itemNames().separator());
        m_sharedTexts.clear();
    }
    // The order of the node list, which decides which of two nodes of one
    // name is told apart by its id, with what the item names are made of, in
    // one statement: one lookup per node took most of the build. The current
    // data are read a few nodes at a time.
    // A list that cannot be read leaves the address space empty.
    m_buildNodes =
        m_database ? m_database
                         ->rows(QStringLiteral("SELECT nodes.id, nodes.name, model_code, model_name, number, group_id, "
                                               "groups.name AS group_name FROM nodes, nodes_data, groups WHERE nodes.id "
                                               "= nodes_data.id AND nodes.group_id = groups.id ORDER BY "
                                               "groups.name, nodes.name"))
                         .valueOr(ZeltoTable())
                   : ZeltoTable();
    m_buildPending.clear();
    for (int row = 0; row < m_buildNodes.rowCount(); ++row)
        m_buildPending.insert(m_buildNodes.value(row, 0).toInt());
    m_buildNext = 0;
}

bool OPCServer::buildStep(int count)
{
    QElapsedTimer timer;
    timer.start();
    const OpcItemNames names = itemNames();
    QMutexLocker lock(&m_mutex);
    for (int done = 0; done < count && m_buildNext < m_buildNodes.rowCount(); ++done) {
        const QVariantMap node = m_buildNodes.toMap(m_buildNext++);
        const int nodeId = node.value(QStringLiteral("id")).toInt();
        m_buildPending.remove(nodeId);
        // Given its items already when its first data came during the build.
        if (m_space.node(nodeId))
            continue;
        // A node removed since has no current data left: it gets no items.
        addNodeItems(node, names);
        if (count != std::numeric_limits<int>::max() && timer.elapsed() >= kBuildStepMs)
            break;
    }
    return m_buildNext < m_buildNodes.rowCount();
}

void OPCServer::finishBuild()
{
    m_building = false;
    m_buildNodes = ZeltoTable();
    m_buildPending.clear();
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("OPC сервер инициализирован: элементов %1, узлов %2").arg(m_space.size()).arg(m_space.nodeCount()));
}

bool OPCServer::addNodeItems(const QVariantMap &node, const OpcItemNames &names)
{
    const int nodeId = node.value(QStringLiteral("id")).toInt();
    if (!m_database)
        return false;
    const ZeltoTable current =
        ArchiveStore::newestStored(*m_database, nodeId, QStringLiteral("current_data")).valueOr(ZeltoTable());
    if (current.rowCount() == 0)
        return false;
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    QString groupName = node.value(QStringLiteral("group_name")).toString();
    if (names.needsGroupName() && !node.contains(QStringLiteral("group_name"))) {
        const int groupId = node.value(QStringLiteral("group_id")).toInt();
        groupName = m_database->row(QStringLiteral("SELECT name FROM groups WHERE id = ?"), {groupId})
                        .value()
                        .value(QStringLiteral("name"))
                        .toString();
    }
    // Units as describeParams gives them for this row: heat by the device's "Qdim".
    const ParameterDescriber describer(catalogue);
    const QString modelCode = node.value(QStringLiteral("model_code")).toString();
    const QVariantMap row = current.toMap(0);
    const QString branch = names.nodeBranch(node, groupName);
    QList<std::pair<OpcAddressSpace::ShapeItem, QVariant>> items;
    for (const QString &stored : current.columnNames()) {
        if (!catalogue.isParam(stored))
            continue;
        const QVariant value = row.value(stored);
        const OpcValue::Type type = OpcValue::typeOf(value);
        if (type == OpcValue::None)
            continue;
        const QString column = shared(stored);
        const QString name = names.itemName(branch, column, modelCode);
        items.append({{column, name.mid(branch.size() + 1), type, shared(describer.unitOf(column, row)),
                       shared(names.description(column, modelCode))},
                      value});
    }
    return m_space.addNode(nodeId, branch, items, row.value(QStringLiteral("date")));
}

QString OPCServer::shared(const QString &text)
{
    return *m_sharedTexts.insert(text);
}

void OPCServer::publishNewNode(int nodeId)
{
    // A node polled for the first time since the start gets its items now,
    // so that new nodes do not wait for a restart; known ones keep theirs.
    // During a build, one the build has passed gets them here; the gateway
    // is sent them with the rest.
    {
        QMutexLocker lock(&m_mutex);
        if (m_space.node(nodeId))
            return;
    }
    const bool passed = m_building && !m_buildPending.contains(nodeId);
    if (!gatewayActive() && !passed)
        return;
    const QVariantMap node = Nodes::find(CommandContext::server(m_database.data()), nodeId).valueOr(QVariantMap());
    if (node.isEmpty())
        return;
    {
        QMutexLocker lock(&m_mutex);
        if (!addNodeItems(node, itemNames()))
            return;
    }
    if (!gatewayActive())
        return;
    for (const QJsonObject &message : itemsMessages(nodeId))
        m_gateway->send(message);
}

QList<QJsonObject> OPCServer::itemsMessages(int nodeId)
{
    QMutexLocker lock(&m_mutex);
    QList<QJsonObject> messages;
    const OpcNode *node = m_space.node(nodeId);
    if (!node)
        return messages;
    const int shape = shapeFor(*node, messages);
    messages.append(QJsonObject{{kOp, QStringLiteral("nodes")}, {QStringLiteral("nodes"), QJsonArray{nodeEntry(*node, shape)}}});
    return messages;
}

void OPCServer::setItemsUsed(const QStringList &names, bool used)
{
    QSet<int> nodes;
    {
        QMutexLocker lock(&m_mutex);
        for (const QString &name : names) {
            const OpcAddressSpace::Ref item = m_space.find(name);
            if (!item)
                continue;
            QBitArray &active = item.node->used;
            if (active.isEmpty())
                active.resize(item.node->values.size());
            active.setBit(item.index, used);
            // A node is released only with the last of its items.
            if (used || !item.node->inUse())
                nodes.insert(item.node->nodeId);
        }
    }
    // OPC clients' items are watched as the server's own work (user -1).
    const CommandContext server = CommandContext::server(m_database.data());
    if (!m_monitor)
        return;
    if (used)
        m_monitor->append(server, nodes);
    else
        m_monitor->remove(server, nodes);
}

void OPCServer::onNotification(const QString &event, const QVariant &param)
{
    if (event == ChangeEvents::ArchivesSaved)
        publishNewNode(param.toInt());
    if (changesViews(event))
        viewsMayChange(event, param.toInt());
}

void OPCServer::viewsMayChange(const QString &event, int id)
{
    // A user's own change concerns that user; a group's or a node's, anyone.
    if (changesUser(event)) {
        if (m_views.contains(id))
            m_staleViews.insert(id);
    } else {
        for (auto it = m_views.constBegin(); it != m_views.constEnd(); ++it)
            m_staleViews.insert(it.key());
    }
    if (m_staleViews.isEmpty() || m_viewsQueued)
        return;
    m_viewsQueued = true;
    QTimer::singleShot(0, this, &OPCServer::sendViews);
}

void OPCServer::sendViews()
{
    // Not from inside a check script's save: its changes are not committed yet.
    if (ZeltoBusyGuard::defer(this, [this]() { sendViews(); }))
        return;
    m_viewsQueued = false;
    const QSet<int> users = std::exchange(m_staleViews, QSet<int>());
    for (int user : users) {
        if (!gatewayActive() || !m_views.contains(user))
            continue;
        const QJsonObject view = OpcVisibility::of(m_database, user);
        if (view == m_views.value(user))
            continue;
        m_views.insert(user, view);
        QJsonObject message = view;
        message.insert(kOp, QStringLiteral("visibility"));
        message.insert(QStringLiteral("user"), user);
        m_gateway->send(message);
    }
}

QJsonObject OPCServer::updateMessage(int nodeId)
{
    QMutexLocker lock(&m_mutex);
    OpcNode *node = m_space.node(nodeId);
    if (!node || !node->inUse())
        return QJsonObject();
    // The monitor's row has every column of the last run: the items' are
    // kept, with its date and whether it failed (until a run says otherwise).
    const OpcAddressSpace::Shape &shape = m_space.shapeOf(*node);
    const QVariantMap data = m_monitor ? m_monitor->nodeData(nodeId) : QVariantMap();
    for (auto it = data.constBegin(); it != data.constEnd(); ++it) {
        if (it.key() == kMonError) {
            node->failed = !it.value().isNull();
        } else if (it.key() == QLatin1String("date")) {
            node->date = it.value();
        } else {
            const int index = shape.byColumn.value(it.key(), -1);
            if (index >= 0)
                node->values[index] = it.value();
        }
    }
    QJsonArray values;
    for (int index = 0; index < shape.items.size(); ++index) {
        if (!node->used.testBit(index))
            continue;
        const OpcValue::Type type = shape.items.at(index).type;
        QPair<QJsonValue, int> published = OpcValue::published(node->values.at(index), type);
        if (node->failed)
            published = qMakePair(OpcValue::zero(type), OpcValue::kNotConnected);
        values.append(QJsonArray{m_space.itemName(*node, index), published.first, published.second});
    }
    return QJsonObject{{kOp, QStringLiteral("update")},
                       {QStringLiteral("time"), utcText(ZeltoClock::system()->utcNow())},
                       {QStringLiteral("items"), values}};
}

void OPCServer::updateNode(int nodeId)
{
    if (!gatewayActive())
        return;
    const QJsonObject message = updateMessage(nodeId);
    if (!message.isEmpty())
        m_gateway->send(message);
}

QJsonArray OPCServer::shapeOf(const OpcNode &node) const
{
    QJsonArray shape;
    for (const OpcAddressSpace::ShapeItem &item : m_space.shapeOf(node).items) {
        // Left out (null) when there is nothing to say: the gateway then adds nothing.
        const QString code = item.unit.isEmpty() ? QString() : UnitCodes::commonCode(item.unit);
        shape.append(QJsonArray{item.leaf, OpcValue::typeName(item.type),
                                item.unit.isEmpty() ? QJsonValue() : QJsonValue(item.unit),
                                code.isEmpty() ? QJsonValue() : QJsonValue(code),
                                item.description.isEmpty() ? QJsonValue() : QJsonValue(item.description)});
    }
    return shape;
}

QJsonObject OPCServer::nodeEntry(const OpcNode &node, int shape) const
{
    QJsonArray values;
    QJsonArray qualities;
    const QVector<OpcAddressSpace::ShapeItem> &items = m_space.shapeOf(node).items;
    for (int index = 0; index < items.size(); ++index) {
        const QPair<QJsonValue, int> published = OpcValue::published(node.values.at(index), items.at(index).type);
        values.append(published.first);
        qualities.append(published.second);
    }
    const QDateTime date = node.date.toDateTime();
    return QJsonObject{{QStringLiteral("node"), node.nodeId},
                       {QStringLiteral("branch"), node.branch},
                       {QStringLiteral("shape"), shape},
                       {QStringLiteral("time"), date.isValid() ? utcText(date) : QJsonValue()},
                       {QStringLiteral("values"), values},
                       {QStringLiteral("qualities"), qualities}};
}

int OPCServer::shapeFor(const OpcNode &node, QList<QJsonObject> &messages)
{
    // The shape's JSON is made only for a shape the gateway has not had:
    // making it for every node took most of the time the address space
    // took to reach the gateway.
    const QString &key = m_space.shapeOf(node).wireKey;
    const auto known = m_shapes.constFind(key);
    if (known != m_shapes.constEnd())
        return known.value();
    const QJsonArray shape = shapeOf(node);
    const int id = m_shapes.size() + 1;
    m_shapes.insert(key, id);
    messages.append(QJsonObject{{kOp, QStringLiteral("shape")}, {QStringLiteral("shape"), id}, {QStringLiteral("items"), shape}});
    return id;
}

void OPCServer::onGatewayStarted()
{
    // A new process has no sessions: nobody is logged in through it yet.
    m_views.clear();
    m_staleViews.clear();
    const QString home = Zelto::moduleDir();
    const OpcEndpointAddress endpoint(m_listenAddress,
                                      m_database ? m_database->setting(QStringLiteral("opcHostName")).value() : QVariant(),
                                      QHostInfo::localHostName());
    if (!endpoint.problem().isEmpty())
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, endpoint.problem());
    const bool russian = setting(QStringLiteral("useRussianInOPC")).toBool();
    m_gateway->send(QJsonObject{
        {kOp, QStringLiteral("config")},
        {QStringLiteral("version"), kProtocolVersion},
        {QStringLiteral("port"), setting(QStringLiteral("opcPort")).toInt()},
        {QStringLiteral("pki"), home + QStringLiteral("/pki")},
        {QStringLiteral("host"), endpoint.host()},
        {QStringLiteral("hostname"), endpoint.hostName()},
        {QStringLiteral("allowAnonymous"), setting(QStringLiteral("opcAnonymous")).toBool()},
        {QStringLiteral("securityNone"), setting(QStringLiteral("opcSecurityNone")).toBool()},
        {QStringLiteral("trustClients"), setting(QStringLiteral("opcTrustClients")).toBool()},
        {QStringLiteral("separator"), russian ? QStringLiteral("\\") : QStringLiteral(".")},
        {QStringLiteral("locale"), russian ? QStringLiteral("ru") : QStringLiteral("ru-Latn")},
        {QStringLiteral("readHoldMs"), kReadHoldMs}});
    // The values as last known: a restarted gateway starts where the last
    // one was. Sent a few batches at a time between the clients' requests.
    QMutexLocker lock(&m_mutex);
    m_shapes.clear();
    m_streamIds = m_space.nodeIds();
    lock.unlock();
    const int generation = ++m_streamGeneration;
    QTimer::singleShot(0, this, [this, generation]() { streamStep(generation); });
}

void OPCServer::streamStep(int generation)
{
    if (generation != m_streamGeneration || !gatewayActive())
        return;
    QElapsedTimer timer;
    timer.start();
    QMutexLocker lock(&m_mutex);
    QJsonArray batch;
    const auto sendBatch = [this, &batch]() {
        m_gateway->send(QJsonObject{{kOp, QStringLiteral("nodes")}, {QStringLiteral("nodes"), batch}});
        batch = QJsonArray();
    };
    while (!m_streamIds.isEmpty() && timer.elapsed() < kBuildStepMs) {
        const OpcNode *node = m_space.node(m_streamIds.takeFirst());
        if (!node)
            continue;
        // A new shape goes before the batch of the nodes that use it.
        QList<QJsonObject> shapes;
        const int shape = shapeFor(*node, shapes);
        for (const QJsonObject &message : qAsConst(shapes))
            m_gateway->send(message);
        batch.append(nodeEntry(*node, shape));
        if (batch.size() == kNodesPerMessage)
            sendBatch();
    }
    if (!batch.isEmpty())
        sendBatch();
    if (!m_streamIds.isEmpty()) {
        QTimer::singleShot(0, this, [this, generation]() { streamStep(generation); });
        return;
    }
    m_gateway->send(QJsonObject{{kOp, QStringLiteral("start")}});
}

void OPCServer::onGatewayFinished()
{
    // Its clients are gone with it: nothing is in use any more.
    QSet<int> nodes;
    {
        QMutexLocker lock(&m_mutex);
        nodes = m_space.clearUse();
    }
    if (m_monitor)
        m_monitor->remove(CommandContext::server(m_database.data()), nodes);
}

void OPCServer::onGatewayMessage(const QJsonObject &message)
{
    // The data monitor may be busy with a check script: its lock is not
    // taken from inside one.
    if (ZeltoBusyGuard::defer(this, [this, message]() { onGatewayMessage(message); }))
        return;
    const QString op = message.value(kOp).toString();
    if (op == QLatin1String("activate")) {
        setItemsUsed(stringList(message.value(QStringLiteral("items"))), true);
    } else if (op == QLatin1String("deactivate")) {
        setItemsUsed(stringList(message.value(QStringLiteral("items"))), false);
    } else if (op == QLatin1String("login")) {
        answerLogin(message);
    } else if (op == QLatin1String("listening")) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                     tr("OPC UA сервер слушает: %1")
                                         .arg(stringList(message.value(QStringLiteral("endpoints"))).join(QStringLiteral(", "))));
    } else if (op == QLatin1String("log")) {
        const QString level = message.value(QStringLiteral("level")).toString();
        ZeltoSystem::instance()->log(level == QLatin1String("error")     ? ZeltoSystem::LogError
                                         : level == QLatin1String("warning") ? ZeltoSystem::LogWarning
                                                                             : ZeltoSystem::LogInfo,
                                     QStringLiteral("OPC: ") + message.value(QStringLiteral("text")).toString());
    } else {
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, tr("OPC: неизвестное сообщение шлюза пропущено: %1").arg(op));
    }
}

void OPCServer::answerLogin(const QJsonObject &message)
{
    const QJsonValue id = message.value(QStringLiteral("id"));
    const QString login = message.value(QStringLiteral("user")).toString();
    // Counted with the peer's logins on the other listeners; a peer the
    // gateway could not tell shares one count with every other such peer.
    QString peer = message.value(QStringLiteral("peer")).toString();
    if (peer.isEmpty())
        peer = QStringLiteral("opc");
    const QJsonValue password = message.value(QStringLiteral("password"));
    const int user = message.value(QStringLiteral("user")).isString() && password.isString()
                         ? Users::verify(m_database.data(), login, password.toString(), peer).valueOr(-1)
                         : -1;
    if (user < 0) {
        CommandContext::server(m_database.data())
            .journal(QStringLiteral("WARN"), tr("OPC UA: отказано во входе пользователю %1").arg(login));
        m_gateway->send(
            QJsonObject{{kOp, QStringLiteral("login")}, {QStringLiteral("id"), id}, {QStringLiteral("ok"), false}});
        return;
    }
    // Let in with what the user sees, which the gateway is told again when it changes.
    const QJsonObject view = OpcVisibility::of(m_database, user);
    m_views.insert(user, view);
    m_staleViews.remove(user);
    QJsonObject answer = view;
    answer.insert(kOp, QStringLiteral("login"));
    answer.insert(QStringLiteral("id"), id);
    answer.insert(QStringLiteral("ok"), true);
    answer.insert(QStringLiteral("user"), user);
    m_gateway->send(answer);
}
