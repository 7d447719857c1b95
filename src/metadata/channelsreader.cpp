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
    if (content.channels.contains(code) || content.adapters.contains(code))
        xml.raiseError(QCoreApplication::translate("ChannelsReader", "Канал %1 описан дважды").arg(code));
    if (xml.hasError())
        return;
    const bool isAdapter = MetadataFile::boolAttribute(xml, QStringLiteral("isAdapter"));
    xml.skipCurrentElement();
    (isAdapter ? content.adapters : content.channels).append(code);
}
