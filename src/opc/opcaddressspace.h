#pragma once

#include "opcvalue.h"

#include <QBitArray>
#include <QChar>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <utility>

// The published items of the nodes, kept small enough for a hundred thousand
// nodes: a node holds its branch, the id of its shape (what each of its items
// is, below the branch, shared by the nodes of equal items) and its items'
// latest values in the shape's order. An item's name, branch + separator +
// leaf, is made when asked for, never stored; a name is found through the
// nodes of the branch it starts with and their shape's leaves. Names are
// unique: a node's item whose name is taken is told apart by its column, then
// by its node, or left out. Not thread-safe: the owner's lock guards it.
class OpcAddressSpace
{
public:
    // A published item, as it is looked up by name.
    struct Item
    {
        int nodeId = 0;
        QString column;
        OpcValue::Type type = OpcValue::None;
        QString unit;          // empty: none
        QString description;
    };

    // What one item of a shape is; leaf: its name below the branch.
    struct ShapeItem
    {
        QString column;
        QString leaf;
        OpcValue::Type type = OpcValue::None;
        QString unit;
        QString description;
    };

    // The items of the nodes of one shape, by their columns.
    struct Shape
    {
        QVector<ShapeItem> items;
        QHash<QString, int> byLeaf;     // leaf -> index in items
        QHash<QString, int> byColumn;   // column -> index in items
        // What the gateway tells shapes apart by: each item's leaf, type
        // name, unit and description, each with its length before it (so
        // that no text can pass for two).
        QString wireKey;
    };

    struct Node
    {
        int nodeId = 0;
        int shape = -1;
        QString branch;
        QVector<QVariant> values;   // the items' latest values, in the shape's order
        QVariant date;              // of the values
        bool failed = false;        // its last monitor run failed
        QBitArray used;             // the items clients use, in the shape's order; empty: none

        bool inUse() const { return used.count(true) > 0; }
    };

    // An item found: its node and its index in the node's shape.
    struct Ref
    {
        Node *node = nullptr;
        int index = -1;
        explicit operator bool() const { return node != nullptr; }
    };

    // Drops everything; names are joined by separator from now on.
    void clear(QChar separator = QLatin1Char('.'));
    QChar separator() const { return m_separator; }

    // Adds the node with the candidate items, in the order their names are
    // claimed (the leaf in each is the wanted one; the value goes with it);
    // false, adding nothing, when it has none or is there already.
    bool addNode(int nodeId, const QString &branch, const QList<std::pair<ShapeItem, QVariant>> &items,
                 const QVariant &date);

    Ref find(const QString &name);
    const Node *node(int nodeId) const;
    Node *node(int nodeId);
    const Shape &shape(int id) const { return m_shapes.at(id); }
    const Shape &shapeOf(const Node &node) const { return m_shapes.at(node.shape); }
    QString itemName(const Node &node, int index) const;
    // The node ids in ascending order.
    QList<int> nodeIds() const { return m_nodes.keys(); }
    int nodeCount() const { return m_nodes.size(); }
    // Forgets which items clients use: the ids of the nodes that had any.
    QSet<int> clearUse();

    // As a hash of item names to items would answer (lookups by name are
    // not hot; keys() makes every name and is for inspection).
    int size() const { return m_itemCount; }
    bool contains(const QString &name) const;
    Item value(const QString &name) const;
    QStringList keys() const;

private:
    // The item of name, among the nodes added: its node's id (0: none) and its index in the node's shape.
    std::pair<int, int> lookUp(const QString &name) const;
    // The id of the shape of these items, added when new.
    int shapeId(const QVector<ShapeItem> &items);

    QChar m_separator = QLatin1Char('.');
    QMap<int, Node> m_nodes;
    QMultiHash<QString, int> m_byBranch;   // branch -> the ids of its nodes
    QVector<Shape> m_shapes;
    // Every field of a shape's items, each with its length before it -> shape id.
    QHash<QString, int> m_shapeIds;
    int m_itemCount = 0;
    // The longest branch and leaf: no name is longer than both with the separator.
    int m_longestBranch = 0;
    int m_longestLeaf = 0;
};
