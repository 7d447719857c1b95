#include "opcaddressspace.h"

namespace {

// Each field with its length before it, so that no text can pass for two.
void appendField(QString &key, const QString &field)
{
    key += QString::number(field.size()) + QLatin1Char(':') + field;
}

} // namespace

void OpcAddressSpace::clear(QChar separator)
{
    m_separator = separator;
    m_nodes.clear();
    m_byBranch.clear();
    m_shapes.clear();
    m_shapeIds.clear();
    m_itemCount = 0;
    m_longestBranch = 0;
    m_longestLeaf = 0;
}

bool OpcAddressSpace::addNode(int nodeId, const QString &branch, const QList<std::pair<ShapeItem, QVariant>> &items,
                              const QVariant &date)
{
    if (m_nodes.contains(nodeId))
        return false;
    // Two parameters of one title, or two nodes of one name: the later one
    // is told apart by its column, then by its node. The node's own names
    // differ by their leaves alone.
    QSet<QString> leaves;
    const auto taken = [&](const QString &leaf) {
        return leaves.contains(leaf) || lookUp(branch + m_separator + leaf).second >= 0;
    };
    QMap<QString, std::pair<ShapeItem, QVariant>> byColumn;
    for (const auto &[wanted, value] : items) {
        ShapeItem item = wanted;
        if (taken(item.leaf)) {
            item.leaf += QStringLiteral(" (") + item.column + QLatin1Char(')');
            if (taken(item.leaf)) {
                item.leaf += QStringLiteral(" #") + QString::number(nodeId);
                if (taken(item.leaf))
                    continue;
            }
        }
        leaves.insert(item.leaf);
        byColumn.insert(item.column, {item, value});
    }
    if (byColumn.isEmpty())
        return false;
    QVector<ShapeItem> shapeItems;
    Node node;
    node.nodeId = nodeId;
    node.branch = branch;
    node.date = date;
    shapeItems.reserve(byColumn.size());
    node.values.reserve(byColumn.size());
    for (const auto &[item, value] : qAsConst(byColumn)) {
        shapeItems.append(item);
        node.values.append(value);
    }
    node.shape = shapeId(shapeItems);
    m_nodes.insert(nodeId, node);
    m_byBranch.insert(branch, nodeId);
    m_itemCount += shapeItems.size();
    m_longestBranch = qMax(m_longestBranch, branch.size());
    return true;
}

int OpcAddressSpace::shapeId(const QVector<ShapeItem> &items)
{
    QString key;
    QString wireKey;
    for (const ShapeItem &item : items) {
        appendField(key, item.column);
        for (const QString &field : {item.leaf, OpcValue::typeName(item.type), item.unit, item.description}) {
            appendField(key, field);
            appendField(wireKey, field);
        }
    }
    const auto known = m_shapeIds.constFind(key);
    if (known != m_shapeIds.constEnd())
        return known.value();
    Shape shape;
    shape.items = items;
    shape.wireKey = wireKey;
    for (int index = 0; index < items.size(); ++index) {
        m_longestLeaf = qMax(m_longestLeaf, items.at(index).leaf.size());
        shape.byLeaf.insert(items.at(index).leaf, index);
        shape.byColumn.insert(items.at(index).column, index);
    }
    m_shapes.append(shape);
    m_shapeIds.insert(key, m_shapes.size() - 1);
    return m_shapes.size() - 1;
}

std::pair<int, int> OpcAddressSpace::lookUp(const QString &name) const
{
    // Branches and leaves may hold the separator themselves: each place it
    // stands may end the branch. Names being unique, one place at most finds
    // the item. A name longer than any is not split at all: one full of
    // separators would cost the square of its length.
    if (name.size() > m_longestBranch + 1 + m_longestLeaf)
        return {0, -1};
    for (int at = name.indexOf(m_separator); at >= 0; at = name.indexOf(m_separator, at + 1)) {
        const QString branch = name.left(at);
        auto it = m_byBranch.constFind(branch);
        if (it == m_byBranch.constEnd())
            continue;
        const QString leaf = name.mid(at + 1);
        for (; it != m_byBranch.constEnd() && it.key() == branch; ++it) {
            const auto node = m_nodes.constFind(it.value());
            const int index = m_shapes.at(node->shape).byLeaf.value(leaf, -1);
            if (index >= 0)
                return {it.value(), index};
        }
    }
    return {0, -1};
}

OpcAddressSpace::Ref OpcAddressSpace::find(const QString &name)
{
    // Through the non-const map, so that a node handed out for change is this object's own.
    const auto [nodeId, index] = lookUp(name);
    Node *found = index >= 0 ? node(nodeId) : nullptr;
    return found ? Ref{found, index} : Ref();
}

const OpcAddressSpace::Node *OpcAddressSpace::node(int nodeId) const
{
    const auto it = m_nodes.constFind(nodeId);
    return it == m_nodes.constEnd() ? nullptr : &it.value();
}

OpcAddressSpace::Node *OpcAddressSpace::node(int nodeId)
{
    const auto it = m_nodes.find(nodeId);
    return it == m_nodes.end() ? nullptr : &it.value();
}

QSet<int> OpcAddressSpace::clearUse()
{
    QSet<int> nodes;
    for (Node &node : m_nodes) {
        if (node.inUse())
            nodes.insert(node.nodeId);
        node.used.clear();
    }
    return nodes;
}

QString OpcAddressSpace::itemName(const Node &node, int index) const
{
    return node.branch + m_separator + m_shapes.at(node.shape).items.at(index).leaf;
}

bool OpcAddressSpace::contains(const QString &name) const
{
    return lookUp(name).second >= 0;
}

OpcAddressSpace::Item OpcAddressSpace::value(const QString &name) const
{
    const auto [nodeId, index] = lookUp(name);
    const Node *found = index >= 0 ? node(nodeId) : nullptr;
    if (!found)
        return Item();
    const ShapeItem &item = shapeOf(*found).items.at(index);
    return Item{nodeId, item.column, item.type, item.unit, item.description};
}

QStringList OpcAddressSpace::keys() const
{
    QStringList names;
    names.reserve(m_itemCount);
    for (const Node &node : m_nodes) {
        for (int index = 0; index < shapeOf(node).items.size(); ++index)
            names.append(itemName(node, index));
    }
    return names;
}
