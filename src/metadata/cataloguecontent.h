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
    struct Channel {
        QString name;
        QStringList params;
        QStringList channels;   // the channels it is carried over
        QStringList baudRates;
    };

    struct Param {
        QString name;
        int type = 0;
        bool isError = false;
        bool isCurrent = false;
    };

    struct Driver {
        QString name;
        QStringList channels;
        QStringList adapteeChannels;   // channels also reachable through an adapter
        QStringList adapters;
        QStringList baudRates;
        QStringList params;
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
        QString legend;
    };

    QStringList archiveNames;
    QHash<QString, QPair<QString, QString>> archiveTitles;   // full, short

    QStringList channels;
    QStringList adapters;
    QHash<QString, Channel> channelEntries;

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
