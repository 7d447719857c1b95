#pragma once

#include "cataloguecontent.h"

#include <QXmlStreamReader>

// Reads channels.xml: plain channels and adapters with their parameters,
// the channels they are carried over and their baud rates.
class ChannelsReader
{
public:
    // Reads the children of the document element into content; problems are
    // raised as parse errors on xml.
    static void read(QXmlStreamReader &xml, CatalogueContent &content);

    // Baud rates are positive whole numbers; anything else is raised.
    static QStringList readBaudRates(QXmlStreamReader &xml);

private:
    static void readChannel(QXmlStreamReader &xml, CatalogueContent &content);
};
