#pragma once

#include <QChar>
#include <QString>
#include <QVariantMap>

class MetadataCatalogue;

// The names of the OPC items of nodes' current parameters. A node's branch
// and the parameter's part are joined by the separator: the backslash in
// the Russian variant (branch from the "opcNodeFormat" pattern, parameters
// by their titles for the node's model, system parameters under their
// system's title), the full stop otherwise (branch "<model code>_<number>",
// parameters by their codes, system parameters under "S<n>"). An item's
// description follows the same variant.
class OpcItemNames
{
public:
    static const QString &defaultNodeFormat();

    OpcItemNames(bool russian, const QString &nodeFormat, const MetadataCatalogue &catalogue);

    QChar separator() const { return m_russian ? QLatin1Char('\\') : QLatin1Char('.'); }
    // Whether the pattern names the node's group (its name must then be read).
    bool needsGroupName() const;
    // node: the nodes row ("name", "model_code", "model_name", "number").
    QString nodeBranch(const QVariantMap &node, const QString &groupName = QString()) const;
    QString itemName(const QString &branch, const QString &column, const QString &modelCode) const;
    // What the item is: the parameter's title for the model, in Latin
    // letters in the full stop variant, whose names are Latin too.
    QString description(const QString &column, const QString &modelCode) const;

private:
    bool m_russian;
    QString m_format;
    const MetadataCatalogue &m_catalogue;
};
