#include "metadatacatalogue.h"

#include "catalogueloader.h"
#include "zelto.h"

#include <QCoreApplication>

class MetadataCatalogue::Data
{
public:
    explicit Data(const QString &folder) : c(CatalogueLoader::load(folder)) {}

    const CatalogueContent::Model *model(const QString &code) const
    {
        const auto it = c.modelEntries.constFind(code);
        return it == c.modelEntries.constEnd() ? nullptr : &it.value();
    }

    const CatalogueContent::Param *param(const QString &code) const
    {
        const auto it = c.params.constFind(code);
        return it == c.params.constEnd() ? nullptr : &it.value();
    }

    CatalogueContent::Driver driver(const QString &code) const { return c.driverEntries.value(code); }

    const CatalogueContent c;
};

namespace {

const int kUnknownModelDigits = 8;

const char *const kTypeNames[] = {"Value", "Flags", "List", "Enum", "Q", "G", "M", "V", "t",
                                  "P",     "W",     "g",    "v",    "Tm", "Th", "E", "Pe"};

} // namespace

// A function-local static: C++ guarantees that the first caller from any
// thread builds it exactly once while the others wait.
const MetadataCatalogue &MetadataCatalogue::instance()
{
    static const MetadataCatalogue catalogue;
    return catalogue;
}

MetadataCatalogue::MetadataCatalogue() : MetadataCatalogue(Zelto::dataDir() + QStringLiteral("/metadata"))
{
}

MetadataCatalogue::MetadataCatalogue(const QString &folder) : d(new Data(folder))
{
}

MetadataCatalogue::~MetadataCatalogue()
{
    delete d;
}

// Drivers and models -------------------------------------------------------------

QStringList MetadataCatalogue::drivers() const
{
    return d->c.drivers;
}

QStringList MetadataCatalogue::driverChannels(const QString &driverCode) const
{
    return d->driver(driverCode).channels;
}

QStringList MetadataCatalogue::driverAdapters(const QString &driverCode) const
{
    return d->driver(driverCode).adapters;
}

QStringList MetadataCatalogue::driverModels(const QString &driverCode) const
{
    return d->driver(driverCode).models;
}

QString MetadataCatalogue::modelDriver(const QString &modelCode) const
{
    const CatalogueContent::Model *model = d->model(modelCode);
    return model ? model->driver : QString();
}

QString MetadataCatalogue::modelName(const QString &modelCode) const
{
    const CatalogueContent::Model *model = d->model(modelCode);
    return model ? model->name : QString();
}

QStringList MetadataCatalogue::models() const
{
    return d->c.models;
}

QList<int> MetadataCatalogue::modelSystems(const QString &modelCode) const
{
    const CatalogueContent::Model *model = d->model(modelCode);
    return model ? model->systems.keys() : QList<int>();
}

QString MetadataCatalogue::formatNumber(qlonglong number, const QString &modelCode) const
{
    const CatalogueContent::Model *model = d->model(modelCode);
    return QStringLiteral("%1").arg(number, model ? model->numberDigits : kUnknownModelDigits, 10, QLatin1Char('0'));
}

int MetadataCatalogue::maxSystemCount() const
{
    return d->c.maxSystemCount;
}

// Parameters -------------------------------------------------------------------

QStringList MetadataCatalogue::paramCodes() const
{
    return d->c.paramCodes;
}

bool MetadataCatalogue::isParam(const QString &code) const
{
    return d->param(code) != nullptr;
}

int MetadataCatalogue::paramType(const QString &code) const
{
    const CatalogueContent::Param *param = d->param(code);
    return param ? param->type : -1;
}

QString MetadataCatalogue::typeName(int type)
{
    const int count = int(sizeof(kTypeNames) / sizeof(kTypeNames[0]));
    return type >= 0 && type < count ? QString::fromLatin1(kTypeNames[type]) : QString();
}

bool MetadataCatalogue::isErrorParam(const QString &code) const
{
    const CatalogueContent::Param *param = d->param(code);
    return param && param->isError;
}

QString MetadataCatalogue::paramTitle(const QString &code, const QString &modelCode) const
{
    if (const CatalogueContent::Model *model = d->model(modelCode)) {
        const auto title = model->titles.constFind(code);
        if (title != model->titles.constEnd())
            return title.value();
    }
    if (const CatalogueContent::Param *param = d->param(code))
        return param->name;
    return d->c.dbParams.value(code);
}

QList<MetadataCatalogue::EnumItem> MetadataCatalogue::paramEnum(const QString &code, const QString &modelCode) const
{
    const CatalogueContent::Model *model = d->model(modelCode);
    if (!model)
        return QList<EnumItem>();
    return model->enums.value(code);
}

int MetadataCatalogue::systemIndex(const QString &column)
{
    if (column == QLatin1String("date") || column == QLatin1String("node_name")
        || column == QLatin1String("model_name") || column == QLatin1String("number"))
        return -1;
    if (column.size() >= 4 && column.at(0) == QLatin1Char('S') && column.at(1) >= QLatin1Char('0')
        && column.at(1) <= QLatin1Char('9') && column.at(2) == QLatin1Char('_'))
        return column.at(1).unicode() - '0';
    return 0;
}

QString MetadataCatalogue::systemTitle(int system, const QString &modelCode) const
{
    switch (system) {
    case -1:
        return QString();
    case -2:
        return QCoreApplication::translate("MetadataCatalogue", "Все параметры");
    case -4:
        return QCoreApplication::translate("MetadataCatalogue", "Без общих параметров");
    case 0:
        return QCoreApplication::translate("MetadataCatalogue", "Общие параметры");
    default:
        break;
    }
    const CatalogueContent::Model *model = d->model(modelCode);
    if (!model || model->systems.isEmpty())
        return QCoreApplication::translate("MetadataCatalogue", "Система %1").arg(system);
    const auto title = model->systems.constFind(system);
    return title != model->systems.constEnd()
        ? title.value()
        : QCoreApplication::translate("MetadataCatalogue", "Неизвестные параметры");
}

bool MetadataCatalogue::isCumulative(const QString &code) const
{
    switch (paramType(code)) {
    case Q:
    case G:
    case M:
    case V:
    case Tm:
    case Th:
    case E:
        return true;
    default:
        return false;
    }
}

bool MetadataCatalogue::isFlags(const QString &code) const
{
    return paramType(code) == Flags;
}

bool MetadataCatalogue::isAveraged(const QString &code) const
{
    switch (paramType(code)) {
    case t:
    case P:
    case Pe:
        return true;
    default:
        return false;
    }
}

QString MetadataCatalogue::loadError() const
{
    return d->c.errors.join(QLatin1Char('\n'));
}
