#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// Everything the metadata files say, in the shape the catalogue answers from.
// Lists keep the files' order; hashes give the entries by code.
struct CatalogueContent
{
    struct Param {
        QString name;
        int type = 0;
        bool isError = false;
    };

    struct Driver {
        QStringList channels;
        QStringList adapters;
        QStringList models;
    };

    // An enumeration item: its code and its title.
    typedef QPair<QString, QString> Item;

    struct Model {
        QString name;
        QString driver;
        int numberDigits = 8;
        QMap<int, QString> systems;              // real systems only, by number
        QHash<QString, QString> titles;          // parameter code -> the model's title
        QHash<QString, QList<Item>> enums;       // parameter code -> items
    };

    QStringList channels;
    QStringList adapters;

    QStringList dbParamCodes;
    QHash<QString, QString> dbParams;
    int maxSystemCount = 4;
    QStringList paramCodes;              // common, then S1_..., S2_... in file order
    QHash<QString, Param> params;

    QStringList drivers;
    QHash<QString, Driver> driverEntries;
    QStringList models;
    QHash<QString, Model> modelEntries;

    QStringList errors;   // what went wrong while loading, for the log
};
