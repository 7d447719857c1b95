#pragma once

#include <QString>

// The catalogue of channels, parameters, drivers and device models, read
// once from the metadata files. Until those files are read, it answers the
// lookups the node records need with the values used when a model is
// unknown.
class MetadataCatalogue
{
public:
    static const MetadataCatalogue &instance();

    // Digits of the model's device numbers; 8 when the model is unknown.
    int numberDigits(const QString &modelCode) const;
    // The number right-justified with zeros to the model's digits.
    QString formatNumber(qlonglong number, const QString &modelCode) const;
    // Highest measuring-system number a node record keeps (s1_type...).
    int maxSystemCount() const;

private:
    MetadataCatalogue() = default;
};
