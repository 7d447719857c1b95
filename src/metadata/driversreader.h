#pragma once

#include "cataloguecontent.h"

#include <QList>
#include <QXmlStreamReader>

// Reads drivers.xml: the drivers with the channels and adapters they work
// over and the device models they serve. Model files are not opened here;
// the loader reads them in order afterwards.
class DriversReader
{
public:
    struct Device {
        QString code;
        QString name;
        QString file;
    };

    struct Driver {
        QString code;
        CatalogueContent::Driver entry;   // without its models yet
        QList<Device> devices;
    };

    // Channel codes are sorted by what channels.xml says they are, so
    // content must already hold the channels.
    static QList<Driver> read(QXmlStreamReader &xml, const CatalogueContent &content);

private:
    static void readDriver(QXmlStreamReader &xml, const CatalogueContent &content, Driver &driver);
    static void readChannels(QXmlStreamReader &xml, const CatalogueContent &content, CatalogueContent::Driver &entry);
    static void readDevices(QXmlStreamReader &xml, QList<Device> &devices);
};
