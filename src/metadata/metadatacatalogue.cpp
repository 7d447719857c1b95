#include "metadatacatalogue.h"

namespace {

const int kDefaultNumberDigits = 8;
// A node record has columns for eight systems.
const int kNodeSystemColumns = 8;

} // namespace

const MetadataCatalogue &MetadataCatalogue::instance()
{
    static const MetadataCatalogue catalogue;
    return catalogue;
}

int MetadataCatalogue::numberDigits(const QString &) const
{
    return kDefaultNumberDigits;
}

QString MetadataCatalogue::formatNumber(qlonglong number, const QString &modelCode) const
{
    return QStringLiteral("%1").arg(number, numberDigits(modelCode), 10, QLatin1Char('0'));
}

int MetadataCatalogue::maxSystemCount() const
{
    return kNodeSystemColumns;
}
