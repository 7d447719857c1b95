#pragma once

#include "cataloguecontent.h"

#include <functional>

class QXmlStreamReader;

// Builds the catalogue's content from a metadata folder: channels.xml,
// params.xml, drivers.xml and each device's model file, in that order. A
// file that cannot be opened or parsed contributes nothing (its failure is
// reported); a model file that cannot be opened ends the loading there,
// keeping what was read before it.
class CatalogueLoader
{
public:
    static CatalogueContent load(const QString &folder);

private:
    enum Outcome { Read, NotOpened, NotParsed };

    // Opens name under folder, hands its document element to read and
    // checks the rest of the document. Failures go to content.errors.
    static Outcome readFile(const QString &folder, const QString &name, CatalogueContent &content,
                            const std::function<void(QXmlStreamReader &)> &read);
    static void readDrivers(const QString &folder, CatalogueContent &content);
};
