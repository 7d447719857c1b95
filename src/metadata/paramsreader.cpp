#include "paramsreader.h"

#include "metadatacatalogue.h"
#include "metadatafile.h"

#include <QCoreApplication>
#include <QSet>

namespace {

// A system number is one decimal digit of the "S<n>_" prefix.
const int kMaxSystems = 9;

} // namespace

int ParamsReader::typeNumber(const QString &name)
{
    for (int type = MetadataCatalogue::Value; type <= MetadataCatalogue::Pe; ++type)
        if (MetadataCatalogue::typeName(type) == name)
            return type;
    return -1;
}

void ParamsReader::read(QXmlStreamReader &xml, CatalogueContent &content)
{
    ParamList common;
    ParamList system;
    int maxSystemCount = content.maxSystemCount;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("dbParams")) {
            readDbParams(xml, content);
        } else if (xml.name() == QLatin1String("commonParams")) {
            readParams(xml, common);
        } else if (xml.name() == QLatin1String("systemParams")) {
            maxSystemCount = MetadataFile::intAttribute(xml, QStringLiteral("maxSystemCount"), 4, 1, kMaxSystems);
            if (!xml.hasError())
                readParams(xml, system);
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        return;

    // Common parameters first, then every system's parameters in turn, so
    // that descriptions come out grouped by system.
    ParamList all = common;
    for (int n = 1; n <= maxSystemCount; ++n)
        for (const auto &param : system)
            all.append({QStringLiteral("S%1_%2").arg(n).arg(param.first), param.second});
    QSet<QString> seen;
    for (const auto &param : all) {
        if (seen.contains(param.first)) {
            xml.raiseError(QCoreApplication::translate("ParamsReader", "Параметр %1 описан дважды").arg(param.first));
            return;
        }
        seen.insert(param.first);
    }
    content.maxSystemCount = maxSystemCount;
    for (const auto &param : all) {
        content.paramCodes.append(param.first);
        content.params.insert(param.first, param.second);
    }
}

void ParamsReader::readDbParams(QXmlStreamReader &xml, CatalogueContent &content)
{
    while (MetadataFile::nextChild(xml, QLatin1String("param"))) {
        const QString code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
        if (xml.hasError())
            return;
        if (!content.dbParams.contains(code))
            content.dbParamCodes.append(code);
        content.dbParams.insert(code, MetadataFile::textAttribute(xml, QStringLiteral("name")));
        xml.skipCurrentElement();
    }
}

void ParamsReader::readParams(QXmlStreamReader &xml, ParamList &params)
{
    while (MetadataFile::nextChild(xml, QLatin1String("param"))) {
        const QString code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
        if (xml.hasError())
            return;
        CatalogueContent::Param param;
        param.name = MetadataFile::textAttribute(xml, QStringLiteral("name"));
        // A parameter without a type is a plain value.
        const QString typeName = MetadataFile::textAttribute(xml, QStringLiteral("type")).trimmed();
        param.type = typeName.isEmpty() ? int(MetadataCatalogue::Value) : typeNumber(typeName);
        if (param.type < 0) {
            xml.raiseError(QCoreApplication::translate("ParamsReader", "Неизвестный тип «%1» параметра %2")
                               .arg(typeName, code));
            return;
        }
        param.isError = MetadataFile::boolAttribute(xml, QStringLiteral("isError"));
        params.append({code, param});
        xml.skipCurrentElement();
    }
}
