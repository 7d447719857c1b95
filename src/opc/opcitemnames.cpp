#include "opcitemnames.h"

#include "metadatacatalogue.h"
#include "transliteration.h"

#include <QCoreApplication>

namespace {
const QString kGroupName = QStringLiteral("%group_name");
}

const QString &OpcItemNames::defaultNodeFormat()
{
    static const QString format = QCoreApplication::translate("OPCServer", "%node_model №%node_number");
    return format;
}

OpcItemNames::OpcItemNames(bool russian, const QString &nodeFormat, const MetadataCatalogue &catalogue)
    : m_russian(russian), m_format(nodeFormat), m_catalogue(catalogue)
{
    if (m_russian)
        m_format.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool OpcItemNames::needsGroupName() const
{
    return m_russian && m_format.contains(kGroupName);
}

QString OpcItemNames::nodeBranch(const QVariantMap &node, const QString &groupName) const
{
    const QString modelCode = node.value(QStringLiteral("model_code")).toString();
    const QString number = m_catalogue.formatNumber(node.value(QStringLiteral("number")).toLongLong(), modelCode);
    if (!m_russian)
        return modelCode + QLatin1Char('_') + number;
    QString branch = m_format;
    branch.replace(QStringLiteral("%node_name"), node.value(QStringLiteral("name")).toString());
    branch.replace(QStringLiteral("%node_model"), node.value(QStringLiteral("model_name")).toString());
    branch.replace(QStringLiteral("%node_number"), number);
    if (branch.contains(kGroupName))
        branch.replace(kGroupName, groupName);
    return branch;
}

QString OpcItemNames::itemName(const QString &branch, const QString &column, const QString &modelCode) const
{
    const int system = MetadataCatalogue::systemIndex(column);
    const QChar sep = separator();
    if (system < 1) {
        return branch + sep + (m_russian ? m_catalogue.paramTitle(column, modelCode) : column);
    }
    if (!m_russian)
        return branch + sep + QLatin1Char('S') + QString::number(system) + sep + column.mid(3);
    return branch + sep + m_catalogue.systemTitle(system, modelCode) + sep + m_catalogue.paramTitle(column, modelCode);
}

QString OpcItemNames::description(const QString &column, const QString &modelCode) const
{
    const QString title = m_catalogue.paramTitle(column, modelCode);
    return m_russian ? title : Transliteration::toLatin(title);
}
