#include "driversreader.h"

#include "metadatafile.h"

#include <QCoreApplication>
#include <QSet>

QList<DriversReader::Driver> DriversReader::read(QXmlStreamReader &xml, const CatalogueContent &content)
{
    QList<Driver> drivers;
    QSet<QString> driverCodes;
    QSet<QString> modelCodes;
    while (MetadataFile::nextChild(xml, QLatin1String("driver"))) {
        Driver driver;
        readDriver(xml, content, driver);
        if (xml.hasError())
            break;
        if (driverCodes.contains(driver.code)) {
            xml.raiseError(QCoreApplication::translate("DriversReader", "Драйвер %1 описан дважды").arg(driver.code));
            break;
        }
        driverCodes.insert(driver.code);
        for (const Device &device : qAsConst(driver.devices)) {
            // A model belongs to one driver: the polling task asks which.
            if (modelCodes.contains(device.code)) {
                xml.raiseError(QCoreApplication::translate("DriversReader", "Модель %1 описана дважды").arg(device.code));
                break;
            }
            modelCodes.insert(device.code);
        }
        drivers.append(driver);
    }
    return drivers;
}

void DriversReader::readDriver(QXmlStreamReader &xml, const CatalogueContent &content, Driver &driver)
{
    driver.code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
    while (!xml.hasError() && xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("channels"))
            readChannels(xml, content, driver.entry);
        else if (xml.name() == QLatin1String("devices"))
            readDevices(xml, driver.devices);
        else
            xml.skipCurrentElement();
    }
}

void DriversReader::readChannels(QXmlStreamReader &xml, const CatalogueContent &content, CatalogueContent::Driver &entry)
{
    while (MetadataFile::nextChild(xml, QLatin1String("code"))) {
        const QString code = xml.readElementText().trimmed();
        // Codes that channels.xml does not know are left out.
        if (content.channels.contains(code))
            entry.channels.append(code);
        else if (content.adapters.contains(code))
            entry.adapters.append(code);
    }
}

void DriversReader::readDevices(QXmlStreamReader &xml, QList<Device> &devices)
{
    while (MetadataFile::nextChild(xml, QLatin1String("device"))) {
        Device device;
        device.code = MetadataFile::requiredAttribute(xml, QStringLiteral("code"));
        if (!xml.hasError())
            device.file = MetadataFile::requiredAttribute(xml, QStringLiteral("file"));
        if (xml.hasError())
            return;
        device.name = MetadataFile::textAttribute(xml, QStringLiteral("name"));
        devices.append(device);
        xml.skipCurrentElement();
    }
}
