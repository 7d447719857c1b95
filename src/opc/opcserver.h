#pragma once

#include "opcaddressspace.h"
#include "opcvalue.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QVariantMap>

class Database;
class DataMonitor;
class OpcGateway;
class OpcItemNames;

// Publishes the nodes' current parameters as OPC items. At start it builds
// the address space: an item for every catalogued current parameter of
// every node that has current data (a node whose first data comes later
// gets its items then), named by OpcItemNames and typed by
// OpcValue. The OPC UA server itself is the gateway child process
// (OpcGateway); it reports which items clients use. A node with an item in
// use is watched in the data monitor on behalf of nobody (user -1), and
// every DataMonitor::nodeMonitored of such a node sends the used items'
// values with their quality and time. Login attempts of OPC UA clients are checked
// against the server's users here, and the gateway learns which nodes each
// such user sees, at login and again whenever that changes.
//
// Off unless the setting "opcPort" holds a port; between start() and stop()
// it follows the OPC settings as they change. Held by the service.
class OPCServer : public QObject
{
    Q_OBJECT

public:
    // One published item: its node, its current-data column, its type, the
    // unit of its parameter (empty: none) and its description.
    using Item = OpcAddressSpace::Item;

    // Publishes the nodes of database; the items clients use are watched
    // there as the server's own work, by monitor, where their live values
    // come from (none: no live values).
    explicit OPCServer(Database *database, DataMonitor *monitor = nullptr, QObject *parent = nullptr);
    ~OPCServer() override;

    // Builds the address space and starts the gateway when "opcPort" is
    // set, its endpoints on listenAddress (all interfaces: Any); Node.js
    // missing or too old is logged once and leaves OPC off.
    void start(const QHostAddress &listenAddress = QHostAddress(QHostAddress::Any));
    void stop();

    // The address space built by the last start, by item name.
    const OpcAddressSpace &items() const { return m_space; }
    // Builds the address space from the database without starting anything.
    void buildAddressSpace();
    // The same in steps of at most nodesPerStep nodes (and about
    // kBuildStepMs) from the event loop, so that clients are served between
    // them; addressSpaceBuilt follows. A build under way starts over.
    void buildAddressSpaceInSteps(int nodesPerStep = kNodesPerStep);
    bool isBuilding() const { return m_building; }
    static constexpr int kNodesPerStep = 200;
    static constexpr int kBuildStepMs = 20;
    // Clients started (used) or stopped using the items: their nodes are
    // watched, or released with their last item.
    void setItemsUsed(const QStringList &names, bool used);
    // The used items' values of the node as one update message; empty when
    // none of its items is used.
    QJsonObject updateMessage(int nodeId);
    // The messages that publish the node's items to the running gateway: its
    // shape when the gateway has not had that shape yet, then the node;
    // none when it has no items.
    QList<QJsonObject> itemsMessages(int nodeId);

signals:
    void addressSpaceBuilt();

private slots:
    void onNotification(const QString &event, const QVariant &param);
    void onPropertyChanged(const QString &name);
    void onGatewayStarted();
    void onGatewayFinished();
    void onGatewayMessage(const QJsonObject &message);

private:
    using OpcNode = OpcAddressSpace::Node;

    // An OPC setting's value, its default when unset.
    QVariant setting(const QString &name) const;
    QVariantList settings() const;
    OpcItemNames itemNames() const;
    // The settings the item names are made from (itemNames()).
    QVariantList namingSettings() const;
    // Builds the address space in steps, then launches the gateway.
    void startGateway();
    void launchGateway();
    // Started and not stopped since (its process may be starting again).
    bool gatewayActive() const;
    void stopGateway();
    // Starts a build over: the nodes to go through, in the node list's order.
    void beginBuild();
    void continueBuild(int generation, int nodesPerStep);
    // Adds the items of the next nodes (at most count, about kBuildStepMs);
    // false when none are left.
    bool buildStep(int count);
    void finishBuild();
    // Sends the next batches of the address space to a started gateway; the
    // last step tells it to start listening.
    void streamStep(int generation);
    // Adds the node's items (node: a nodes row, with "group_name" when the
    // caller has read it) with their values and the date, all it sends;
    // false when it has none. The caller holds m_mutex.
    bool addNodeItems(const QVariantMap &node, const OpcItemNames &names);
    // The copy of text in m_sharedTexts. The caller holds m_mutex.
    QString shared(const QString &text);
    void publishNewNode(int nodeId);
    void updateNode(int nodeId);
    void answerLogin(const QJsonObject &message);
    // A change that may change what users see: their views are sent again
    // (those that changed) once the current burst of changes is over.
    void viewsMayChange(const QString &event, int id);
    void sendViews();
    // The node's shape: what each item is, below the branch. The caller holds m_mutex.
    QJsonArray shapeOf(const OpcNode &node) const;
    // The node's entry of a "nodes" message, by its shape. The caller holds m_mutex.
    QJsonObject nodeEntry(const OpcNode &node, int shape) const;
    // The id of the node's shape for the running gateway; a shape it has not
    // had yet is appended to messages. The caller holds m_mutex.
    int shapeFor(const OpcNode &node, QList<QJsonObject> &messages);

    OpcGateway *m_gateway = nullptr;
    bool m_active = false;
    QPointer<Database> m_database;
    QPointer<DataMonitor> m_monitor;
    QHostAddress m_listenAddress;
    QVariantList m_startedWith;     // settings() when the gateway was last started
    QVariantList m_builtNaming;     // namingSettings() of the last build
    // The items with their values and use. Guarded by m_mutex.
    OpcAddressSpace m_space;
    // One copy of each text that many shapes have (column names, units,
    // descriptions). Guarded by m_mutex.
    QSet<QString> m_sharedTexts;
    // The build under way: the nodes in order (the columns their items are
    // named by, read in one statement) and the next one to add; a step of an
    // older build (its generation passed) does nothing.
    bool m_building = false;
    bool m_launchWhenBuilt = false;
    int m_buildGeneration = 0;
    ZeltoTable m_buildNodes;
    int m_buildNext = 0;
    QSet<int> m_buildPending;   // the ids of m_buildNodes from m_buildNext on
    // The address space on its way to a started gateway: the nodes left to
    // send; a stream of an earlier start (its generation passed) stops.
    int m_streamGeneration = 0;
    QList<int> m_streamIds;
    // What each user logged in through the running gateway was last told to
    // see (OpcVisibility), the users whose view is to be sent again, and
    // whether that is queued.
    QHash<int, QJsonObject> m_views;
    // The shapes sent to the running gateway, by their wire keys
    // (OpcAddressSpace::Shape), and their ids. Guarded by m_mutex.
    QHash<QString, int> m_shapes;
    QSet<int> m_staleViews;
    bool m_viewsQueued = false;
    // Serialises the item use bookkeeping with the data monitor's calls
    // (taken before the data monitor's own lock).
    mutable QMutex m_mutex;
};
