#include "catalogueloader.h"

#include "channelsreader.h"
#include "driversreader.h"
#include "metadatafile.h"
#include "modelreader.h"
#include "paramsreader.h"

CatalogueContent CatalogueLoader::load(const QString &folder)
{
    CatalogueContent content;

    CatalogueContent channels = content;
    if (readFile(folder, QStringLiteral("channels.xml"), content,
                 [&channels](QXmlStreamReader &xml) { ChannelsReader::read(xml, channels); })
        == Read)
        content = channels;

    CatalogueContent params = content;
    if (readFile(folder, QStringLiteral("params.xml"), content,
                 [&params](QXmlStreamReader &xml) { ParamsReader::read(xml, params); })
        == Read)
        content = params;

    readDrivers(folder, content);
    return content;
}

CatalogueLoader::Outcome CatalogueLoader::readFile(const QString &folder, const QString &name,
                                                   CatalogueContent &content,
                                                   const std::function<void(QXmlStreamReader &)> &read)
{
    MetadataFile file(folder, name);
    if (!file.open()) {
        content.errors.append(file.failure());
        return NotOpened;
    }
    if (file.enterDocument()) {
        read(file.xml());
        if (file.finish())
            return Read;
    }
    content.errors.append(file.failure());
    return NotParsed;
}

void CatalogueLoader::readDrivers(const QString &folder, CatalogueContent &content)
{
    QList<DriversReader::Driver> drivers;
    if (readFile(folder, QStringLiteral("drivers.xml"), content,
                 [&drivers, &content](QXmlStreamReader &xml) { drivers = DriversReader::read(xml, content); })
        != Read)
        return;

    const ModelReader modelReader(content);
    for (const DriversReader::Driver &driver : qAsConst(drivers)) {
        content.drivers.append(driver.code);
        CatalogueContent::Driver &entry = content.driverEntries[driver.code];
        entry = driver.entry;
        for (const DriversReader::Device &device : driver.devices) {
            CatalogueContent::Model model;
            const Outcome outcome = readFile(folder, device.file, content,
                                             [&modelReader, &model](QXmlStreamReader &xml) { modelReader.read(xml, model); });
            if (outcome == NotOpened)
                return;
            // A model file that does not parse leaves the model as drivers.xml
            // describes it: known by code, name and driver, with default digits.
            if (outcome == NotParsed)
                model = CatalogueContent::Model();
            model.name = device.name;
            model.driver = driver.code;
            entry.models.append(device.code);
            content.models.append(device.code);
            content.modelEntries.insert(device.code, model);
        }
    }
}
