#include "modelreader.h"

#include "metadatacatalogue.h"
#include "metadatafile.h"

#include <QCoreApplication>

namespace {

const char kFlagDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const int kFlagDigitCount = int(sizeof(kFlagDigits)) - 1;
const int kDefaultNumberDigits = 8;
// Device numbers are formatted from a qlonglong: at most 19 decimal digits.
const int kMaxNumberDigits = 19;
// A system number is one decimal digit of the "S<n>_" prefix.
const int kMaxSystem = 9;

} // namespace

QString ModelReader::itemCode(int position, bool flags)
{
    if (flags && position >= 0 && position < kFlagDigitCount)
        return QString(QLatin1Char(kFlagDigits[position]));
    return QString::number(position);
}

int ModelReader::paramType(const QString &code) const
{
    const auto param = m_content.params.constFind(code);
    return param != m_content.params.constEnd() ? param->type : int(MetadataCatalogue::Value);
}

void ModelReader::read(QXmlStreamReader &xml, CatalogueContent::Model &model) const
{
    model.numberDigits =
        MetadataFile::intAttribute(xml, QStringLiteral("numberDigits"), kDefaultNumberDigits, 1, kMaxNumberDigits);
    Titles common;
    Titles system;
    QList<ParamEnum> enums;
    while (!xml.hasError() && xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("systems"))
            readSystems(xml, model);
        else if (xml.name() == QLatin1String("commonParams"))
            readTitles(xml, common);
        else if (xml.name() == QLatin1String("systemParams"))
            readTitles(xml, system);
        else if (xml.name() == QLatin1String("paramEnums"))
            readEnums(xml, enums);
        else
            xml.skipCurrentElement();
    }
    if (xml.hasError())
        return;

    // The systems may be listed after the titles, so titles are entered last.
    for (const auto &title : qAsConst(common))
        model.titles.insert(title.first, title.second);
    for (auto n = model.systems.constBegin(); n != model.systems.constEnd(); ++n)
        for (const auto &title : qAsConst(system))
            model.titles.insert(QStringLiteral("S%1_%2").arg(n.key()).arg(title.first), title.second);

    for (const ParamEnum &paramEnum : qAsConst(enums)) {
        for (const QString &code : paramEnum.params) {
            const bool flags = paramType(code) == MetadataCatalogue::Flags;
            QList<CatalogueContent::Item> items = paramEnum.items;
            for (int i = 0; i < items.size(); ++i)
                if (items.at(i).first.isEmpty())
                    items[i].first = itemCode(i, flags);
            model.enums.insert(code, items);
        }
    }
}

void ModelReader::readSystems(QXmlStreamReader &xml, CatalogueContent::Model &model) const
{
    while (MetadataFile::nextChild(xml, QLatin1String("system"))) {
        const int number = MetadataFile::intAttribute(xml, QStringLiteral("code"), -1, 1, kMaxSystem);
        if (!xml.hasError() && number < 0)
            xml.raiseError(QCoreApplication::translate("ModelReader", "Система без номера"));
        if (!xml.hasError() && model.systems.contains(number))
            xml.raiseError(QCoreApplication::translate("ModelReader", "Система %1 описана дважды").arg(number));
        if (xml.hasError())
            return;
        // A fake system only groups parameters in the device's own files;
        // it is not a heating system of the model.
        if (!MetadataFile::boolAttribute(xml, QStringLiteral("isFake")))
            model.systems.insert(number, MetadataFile::textAttribute(xml, QStringLiteral("name")));
        xml.skipCurrentElement();
    }
}

void ModelReader::readTitles(QXmlStreamReader &xml, Titles &titles) const
{
    while (MetadataFile::nextChild(xml, QLatin1String("params"))) {
        while (MetadataFile::nextChild(xml, QLatin1String("param"))) {
            const QString code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
            if (xml.hasError())
                return;
            titles.append({code, MetadataFile::textAttribute(xml, QStringLiteral("name"))});
            xml.skipCurrentElement();
        }
    }
}

void ModelReader::readEnums(QXmlStreamReader &xml, QList<ParamEnum> &enums) const
{
    while (MetadataFile::nextChild(xml, QLatin1String("paramEnum"))) {
        ParamEnum paramEnum;
        readEnum(xml, paramEnum);
        enums.append(paramEnum);
    }
}

void ModelReader::readEnum(QXmlStreamReader &xml, ParamEnum &paramEnum) const
{
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("params"))
            paramEnum.params.append(MetadataFile::childTexts(xml, QLatin1String("param")));
        else if (xml.name() == QLatin1String("items"))
            readItems(xml, paramEnum.items);
        else
            xml.skipCurrentElement();
    }
}

void ModelReader::readItems(QXmlStreamReader &xml, QList<CatalogueContent::Item> &items) const
{
    while (MetadataFile::nextChild(xml, QLatin1String("item"))) {
        const QString code = MetadataFile::textAttribute(xml, QStringLiteral("code")).trimmed();
        items.append({code, xml.readElementText().trimmed()});
    }
}
