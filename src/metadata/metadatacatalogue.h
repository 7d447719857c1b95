#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// The catalogue of channels, parameters, drivers and device models, read
// once (on first use, from any thread) from the metadata files under
// Zelto::dataDir() + "/metadata" and never changed afterwards. Lookups of
// codes the catalogue does not hold give empty values unless said otherwise.
// A file that cannot be opened or parsed is reported and contributes nothing;
// a model file that cannot be opened ends the loading there, and one that
// does not parse leaves its model as drivers.xml names it.
class MetadataCatalogue
{
public:
    // Parameter types, numbered as stored.
    enum ParamType {
        Value = 0, Flags, List, Enum, Q, G, M, V, t, P, W, g, v, Tm, Th, E, Pe
    };

    // An enumeration item of a parameter: its code and its title.
    typedef QPair<QString, QString> EnumItem;

    // Process-wide: the shipped files are read once, on first use, and never change.
    static const MetadataCatalogue &instance();

    // A catalogue of the metadata files in another folder, beside the
    // process-wide one (tests load small fixtures this way).
    explicit MetadataCatalogue(const QString &folder);
    ~MetadataCatalogue();
    MetadataCatalogue(const MetadataCatalogue &) = delete;
    MetadataCatalogue &operator=(const MetadataCatalogue &) = delete;

    // Drivers and models
    QStringList drivers() const;
    // The plain channels and the adapters (channels.xml) the driver works over.
    QStringList driverChannels(const QString &driverCode) const;
    QStringList driverAdapters(const QString &driverCode) const;
    QStringList driverModels(const QString &driverCode) const;
    QString modelDriver(const QString &modelCode) const;
    QString modelName(const QString &modelCode) const;
    QStringList models() const;
    // The numbers of the model's heating systems (fake systems left out).
    QList<int> modelSystems(const QString &modelCode) const;
    // The number right-justified with zeros to the digits of the model's
    // device numbers (8 when the model is unknown).
    QString formatNumber(qlonglong number, const QString &modelCode) const;
    // Systems 1..maxSystemCount carry system parameters ("maxSystemCount" of
    // params.xml, 4 when absent).
    int maxSystemCount() const;

    // Parameters
    QStringList paramCodes() const;     // common, then system parameters, in file order
    bool isParam(const QString &code) const;
    int paramType(const QString &code) const;      // -1 for unknown codes
    static QString typeName(int type);
    bool isErrorParam(const QString &code) const;
    // The model's own title, else that of params.xml (database parameters
    // such as "number" included).
    QString paramTitle(const QString &code, const QString &modelCode = QString()) const;
    // The model's items for the code (system parameters by their full
    // "S<n>_" code). Items written without a code are numbered by their
    // position in the list from 0: for Flags parameters that is the bit
    // number as one character of "0"-"9", "A"-"Z" (decimal from bit 36 on),
    // for the others the decimal number.
    QList<EnumItem> paramEnum(const QString &code, const QString &modelCode) const;
    static int systemIndex(const QString &column);
    QString systemTitle(int system, const QString &modelCode) const;
    bool isCumulative(const QString &code) const;  // Q, G, M, V, Tm, Th, E
    bool isFlags(const QString &code) const;
    bool isAveraged(const QString &code) const;    // t, P, Pe

    // Loading failures, for the log ("" when everything was read).
    QString loadError() const;

private:
    MetadataCatalogue();
    class Data;
    Data *d;
};
