#pragma once

#include "cataloguecontent.h"

#include <QXmlStreamReader>

// Reads channels.xml: the codes of the plain channels and of the adapters.
class ChannelsReader
{
public:
    // Reads the children of the document element into content; problems are
    // raised as parse errors on xml.
    static void read(QXmlStreamReader &xml, CatalogueContent &content);

private:
    static void readChannel(QXmlStreamReader &xml, CatalogueContent &content);
};
