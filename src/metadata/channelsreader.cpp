#include "channelsreader.h"

#include "metadatafile.h"

#include <QCoreApplication>

void ChannelsReader::read(QXmlStreamReader &xml, CatalogueContent &content)
{
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("channel"))
            readChannel(xml, content);
        else
            xml.skipCurrentElement();
    }
}

void ChannelsReader::readChannel(QXmlStreamReader &xml, CatalogueContent &content)
{
    const QString code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
    if (content.channelEntries.contains(code))
        xml.raiseError(QCoreApplication::translate("ChannelsReader", "Канал %1 описан дважды").arg(code));
    if (xml.hasError())
        return;
    CatalogueContent::Channel channel;
    channel.name = MetadataFile::textAttribute(xml, QStringLiteral("name"));
    const bool isAdapter = MetadataFile::boolAttribute(xml, QStringLiteral("isAdapter"));
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("param"))
            channel.params.append(xml.readElementText().trimmed());
        else if (xml.name() == QLatin1String("channels"))
            channel.channels = MetadataFile::childTexts(xml, QLatin1String("code"));
        else if (xml.name() == QLatin1String("baudRates"))
            channel.baudRates = readBaudRates(xml);
        else
            xml.skipCurrentElement();
    }
    (isAdapter ? content.adapters : content.channels).append(code);
    content.channelEntries.insert(code, channel);
}

QStringList ChannelsReader::readBaudRates(QXmlStreamReader &xml)
{
    QStringList rates;
    while (MetadataFile::nextChild(xml, QLatin1String("value"))) {
        const QString text = xml.readElementText().trimmed();
        bool ok = false;
        if (text.toUInt(&ok) == 0 || !ok) {
            xml.raiseError(QCoreApplication::translate("ChannelsReader", "Неверная скорость обмена «%1»").arg(text));
            break;
        }
        rates.append(text);
    }
    return rates;
}
