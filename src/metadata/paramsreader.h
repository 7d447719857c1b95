#pragma once

#include "cataloguecontent.h"

#include <QXmlStreamReader>

// Reads params.xml: database parameters, common parameters and the system
// parameters, which it enters once per system under "S<n>_<code>".
class ParamsReader
{
public:
    static void read(QXmlStreamReader &xml, CatalogueContent &content);

    // The number of a type name; -1 for names that are not types.
    static int typeNumber(const QString &name);

private:
    typedef QList<QPair<QString, CatalogueContent::Param>> ParamList;

    static void readDbParams(QXmlStreamReader &xml, CatalogueContent &content);
    static void readParams(QXmlStreamReader &xml, ParamList &params);
};
