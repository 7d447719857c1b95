#pragma once

#include "cataloguecontent.h"

#include <QXmlStreamReader>

// Reads one device model's file: number digits, systems, the model's own
// parameter titles and the enumerations of its parameters.
//
// Enumeration items without a code are numbered by their position in the
// item list, counted from 0 over all items of that list (items with a code
// count too): for Flags parameters the position is the bit number, written
// as one character of "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" (bits 0..35;
// further positions as decimal numbers); for every other parameter it is
// the decimal number. Explicit codes are kept as written.
class ModelReader
{
public:
    // Parameter types come from content (params.xml is read first).
    explicit ModelReader(const CatalogueContent &content) : m_content(content) {}

    // Reads the document element into model; problems are raised as parse
    // errors on xml.
    void read(QXmlStreamReader &xml, CatalogueContent::Model &model) const;

    // The generated code of the item at position in a list.
    static QString itemCode(int position, bool flags);

private:
    typedef QList<QPair<QString, QString>> Titles;   // code, title

    struct ParamEnum {
        QStringList params;
        QList<CatalogueContent::Item> items;
    };

    void readSystems(QXmlStreamReader &xml, CatalogueContent::Model &model) const;
    void readTitles(QXmlStreamReader &xml, Titles &titles) const;
    void readEnums(QXmlStreamReader &xml, QList<ParamEnum> &enums) const;
    void readEnum(QXmlStreamReader &xml, ParamEnum &paramEnum) const;
    void readItems(QXmlStreamReader &xml, QList<CatalogueContent::Item> &items) const;
    int paramType(const QString &code) const;

    const CatalogueContent &m_content;
};
