#include "metervalues.h"

#include <QHash>
#include <QTime>

#include <cmath>

namespace {

// Parameters the generator knows. System parameters carry a system number
// in their column name; common ones do not.
enum Quantity {
    // common
    DeviceTime, WorkMinutes, WorkHours, NormalHours, PowerOffHours, DeviceFlags, ErrorCode, SettingsBase,
    EnergyUnit, PressureUnit, AirTemp, EnergySum, AuxVolume, Electricity, ElectricPower,
    // per system
    Scheme, Supply, Return, ColdWater, TempDiff, SupplyPressure, ReturnPressure, ColdPressure,
    Mass1, Mass2, Mass3, MassDiff, Volume1, Volume2, Volume3, Amount1, Amount2, Amount3,
    MassFlow1, MassFlow2, MassFlow3, VolumeFlow1, VolumeFlow2, VolumeFlow3,
    Energy, HeatPower, SystemFlags, FaultHours, StopHours,
    QuantityCount
};

struct ParamInfo
{
    const char *code;
    Quantity quantity;
    bool system;
    int decimals;
};

const ParamInfo kParams[] = {
    {"DT", DeviceTime, false, 0},        {"Tm", WorkMinutes, false, 0},     {"Th", WorkHours, false, 2},
    {"BHP", NormalHours, false, 2},      {"Toff", PowerOffHours, false, 2}, {"NSD", DeviceFlags, false, 0},
    {"ERR", ErrorCode, false, 0},        {"DB", SettingsBase, false, 0},    {"Qdim", EnergyUnit, false, 0},
    {"Pdim", PressureUnit, false, 0},    {"ta", AirTemp, false, 2},         {"Qs", EnergySum, false, 3},
    {"Vx", AuxVolume, false, 3},         {"Ee", Electricity, false, 3},     {"Pe", ElectricPower, false, 3},
    {"scheme", Scheme, true, 0},         {"t1", Supply, true, 2},           {"t2", Return, true, 2},
    {"t3", ColdWater, true, 2},          {"dt", TempDiff, true, 2},         {"P1", SupplyPressure, true, 3},
    {"P2", ReturnPressure, true, 3},     {"P3", ColdPressure, true, 3},     {"M1", Mass1, true, 3},
    {"M2", Mass2, true, 3},              {"M3", Mass3, true, 3},            {"dM", MassDiff, true, 3},
    {"V1", Volume1, true, 3},            {"V2", Volume2, true, 3},          {"V3", Volume3, true, 3},
    {"G1", Amount1, true, 3},            {"G2", Amount2, true, 3},          {"G3", Amount3, true, 3},
    {"gm1", MassFlow1, true, 3},         {"gm2", MassFlow2, true, 3},       {"gm3", MassFlow3, true, 3},
    {"qv1", VolumeFlow1, true, 3},       {"qv2", VolumeFlow2, true, 3},     {"qv3", VolumeFlow3, true, 3},
    {"Q", Energy, true, 3},              {"W", HeatPower, true, 3},         {"NS", SystemFlags, true, 0},
    {"Tns", FaultHours, true, 2},        {"Tstop", StopHours, true, 2},
};

const ParamInfo *findParam(const QString &code, bool system)
{
    static const QHash<QString, const ParamInfo *> index = [] {
        QHash<QString, const ParamInfo *> map;
        for (const ParamInfo &param : kParams)
            map.insert(QString::fromLatin1(param.code) + (param.system ? QStringLiteral("/s") : QString()), &param);
        return map;
    }();
    return index.value(system ? code + QStringLiteral("/s") : code);
}

// The time axis: hours since 2000-01-01 00:00 UTC, shifted to local standard time.
const qint64 kAxisOriginMs = 946684800000LL;
const double kYearHours = 8766.0;
const double kColdestHour = 14.5 * 24;   // mid-January
const double kPeakHourOfDay = 6.0;       // the morning peak of heat demand
const double kTwoPi = 6.283185307179586;
const double kSpecificVolume = 1.025;    // m3 per tonne of hot water
const double kColdSpecificVolume = 1.002;

quint64 mix(quint64 x)
{
    // splitmix64 finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

quint64 mix(quint64 a, quint64 b)
{
    return mix(a ^ mix(b));
}

double unit(quint64 hash)
{
    return double(hash >> 11) * (1.0 / 9007199254740992.0);
}

double hoursOf(const QDateTime &dt, double zoneHours)
{
    return double(dt.toMSecsSinceEpoch() - kAxisOriginMs) / 3600000.0 + zoneHours;
}

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// Noise streams: one per quantity, system and purpose.
quint64 stream(quint64 seed, int quantity, int system, int purpose = 0)
{
    return mix(seed, quint64(quantity) * 1000003ULL + quint64(system) * 101ULL + quint64(purpose));
}

} // namespace

struct MeterValues::Column
{
    QString name;
    int quantity;   // -1: unknown
    int system;     // 0: common
    int decimals;
};

// Where a record lies on the time axis: [from, to) for interval records,
// the counters at `to` for totals, the instant `to` for current readings.
struct MeterValues::Interval
{
    double from;
    double to;
    QDateTime deviceTime;
};

MeterValues::MeterValues(qint64 deviceNumber)
    : m_device(deviceNumber),
      m_seed(mix(quint64(deviceNumber) ^ 0x6F72766578ULL)),
      m_zoneHours(QDateTime(QDate(2000, 1, 1), QTime(0, 0)).offsetFromUtc() / 3600.0)
{
    for (int system = 0; system <= MaxSystems; ++system) {
        auto u = [&](int i) { return unit(mix(m_seed, quint64(system) * 64 + quint64(i))); };
        m_systems[system] = {3.0 + 17.0 * u(0), 0.985 + 0.012 * u(1), 0.05 + 0.25 * u(2), 0.04 * (u(3) - 0.5),
                             2.0 * u(4),        5000.0 * u(5),        800.0 * u(6),       3000.0 * u(7)};
    }
}

bool MeterValues::kindOf(const QString &archiveName, Kind &kind)
{
    static const QHash<QString, Kind> kinds = {
        {QStringLiteral("hour_data"), HourData},     {QStringLiteral("day_data"), DayData},
        {QStringLiteral("month_data"), MonthData},   {QStringLiteral("day_totals"), DayTotals},
        {QStringLiteral("month_totals"), MonthTotals}, {QStringLiteral("current_data"), CurrentData}};
    const auto it = kinds.constFind(archiveName);
    if (it == kinds.constEnd())
        return false;
    kind = it.value();
    return true;
}

QString MeterValues::archiveName(Kind kind)
{
    switch (kind) {
    case HourData: return QStringLiteral("hour_data");
    case DayData: return QStringLiteral("day_data");
    case MonthData: return QStringLiteral("month_data");
    case DayTotals: return QStringLiteral("day_totals");
    case MonthTotals: return QStringLiteral("month_totals");
    case CurrentData: return QStringLiteral("current_data");
    }
    return QString();
}

QStringList MeterValues::columns(Kind kind, const QList<int> &systems)
{
    QStringList common;
    QStringList perSystem;
    switch (kind) {
    case HourData:
    case DayData:
    case MonthData:
        common = QStringList{QStringLiteral("Th"), QStringLiteral("NSD")};
        perSystem = QStringList{QStringLiteral("t1"), QStringLiteral("t2"), QStringLiteral("dt"),
                                QStringLiteral("P1"), QStringLiteral("P2"), QStringLiteral("G1"),
                                QStringLiteral("G2"), QStringLiteral("V1"), QStringLiteral("V2"),
                                QStringLiteral("Q"),  QStringLiteral("NS")};
        break;
    case DayTotals:
    case MonthTotals:
        common = QStringList{QStringLiteral("Th")};
        perSystem = QStringList{QStringLiteral("M1"), QStringLiteral("M2"), QStringLiteral("V1"),
                                QStringLiteral("V2"), QStringLiteral("Q")};
        break;
    case CurrentData:
        common = QStringList{QStringLiteral("DT"), QStringLiteral("Th"), QStringLiteral("NSD")};
        perSystem = QStringList{QStringLiteral("t1"),  QStringLiteral("t2"),  QStringLiteral("dt"),
                                QStringLiteral("P1"),  QStringLiteral("P2"),  QStringLiteral("gm1"),
                                QStringLiteral("gm2"), QStringLiteral("qv1"), QStringLiteral("qv2"),
                                QStringLiteral("W"),   QStringLiteral("M1"),  QStringLiteral("M2"),
                                QStringLiteral("V1"),  QStringLiteral("V2"),  QStringLiteral("Q"),
                                QStringLiteral("NS")};
        break;
    }
    QStringList result = common;
    for (int system : systems) {
        for (const QString &code : qAsConst(perSystem))
            result.append(QStringLiteral("S%1_%2").arg(system).arg(code));
    }
    return result;
}

int MeterValues::decimals(const QString &column)
{
    return parse({column}).first().decimals;
}

QList<MeterValues::Column> MeterValues::parse(const QStringList &columns)
{
    QList<Column> result;
    for (const QString &name : columns) {
        Column column{name, -1, 0, -1};
        const ParamInfo *param = nullptr;
        if (name.size() > 3 && name.at(0) == QLatin1Char('S') && name.at(2) == QLatin1Char('_')
            && name.at(1) >= QLatin1Char('1') && name.at(1) <= QLatin1Char('0' + MaxSystems)) {
            param = findParam(name.mid(3), true);
            column.system = name.at(1).unicode() - '0';
        } else {
            param = findParam(name, false);
        }
        if (param) {
            column.quantity = param->quantity;
            column.decimals = param->decimals;
        }
        result.append(column);
    }
    return result;
}

double MeterValues::chance(quint64 purpose, qint64 index) const
{
    return unit(mix(mix(m_seed, purpose ^ 0x636861ULL), quint64(index)));
}

double MeterValues::noise(quint64 streamId, qint64 index) const
{
    return unit(mix(streamId, quint64(index))) - 0.5;
}

double MeterValues::load(int system, double hours) const
{
    const System &c = m_systems[system];
    return 0.5 + c.loadShift + 0.38 * std::cos(kTwoPi * (hours - kColdestHour) / kYearHours)
        + 0.1 * std::cos(kTwoPi * (hours - kPeakHourOfDay - c.dayShift) / 24.0);
}

double MeterValues::loadIntegral(int system, double hours) const
{
    const System &c = m_systems[system];
    return (0.5 + c.loadShift) * hours
        + 0.38 * kYearHours / kTwoPi * std::sin(kTwoPi * (hours - kColdestHour) / kYearHours)
        + 0.1 * 24.0 / kTwoPi * std::sin(kTwoPi * (hours - kPeakHourOfDay - c.dayShift) / 24.0);
}

// A counter at a moment. Each is a smooth amount that only grows plus noise
// that is linear between whole hours and moves an hour's growth by at most
// a tenth, so every counter grows in every hour.
double MeterValues::counter(int quantity, int system, double hours) const
{
    const double whole = std::floor(hours);
    const double fraction = hours - whole;
    auto wobble = [&](int purpose, double amplitude) {
        const quint64 id = stream(m_seed, purpose, system, 1);
        const double a = noise(id, qint64(whole));
        const double b = noise(id, qint64(whole) + 1);
        return amplitude * 0.1 * (a + (b - a) * fraction);
    };
    const System &c = m_systems[system];
    switch (quantity) {
    case Mass1:
        return c.massStart + c.massFlow * hours + wobble(Mass1, c.massFlow);
    case Mass2:
        return c.massStart * c.returnShare + c.returnShare * (counter(Mass1, system, hours) - c.massStart);
    case Mass3:
        return c.massStart * 0.01 + c.makeupFlow * hours + wobble(Mass3, c.makeupFlow);
    case MassDiff:
        return counter(Mass1, system, hours) - counter(Mass2, system, hours);
    case Volume1:
        return c.volumeStart + kSpecificVolume * (counter(Mass1, system, hours) - c.massStart);
    case Volume2:
        return c.volumeStart * c.returnShare
            + kSpecificVolume * (counter(Mass2, system, hours) - c.massStart * c.returnShare);
    case Volume3:
        return c.volumeStart * 0.01 + kColdSpecificVolume * (counter(Mass3, system, hours) - c.massStart * 0.01);
    case Energy:
        // The supply-return difference is 25 + 10 × load degrees; a tonne and
        // a degree make a thousandth of a gigacalorie.
        return c.energyStart + c.massFlow * (25.0 * hours + 10.0 * loadIntegral(system, hours)) / 1000.0
            + wobble(Energy, c.massFlow * 0.025);
    case EnergySum:
        return counter(Energy, 1, hours) + counter(Energy, 2, hours);
    case WorkHours:
        return c.massStart / 10.0 + hours;
    case WorkMinutes:
        return std::floor(counter(WorkHours, 0, hours) * 60.0);
    case PowerOffHours:
        return 0.002 * (hours + c.massStart);
    case NormalHours:
        return counter(WorkHours, 0, hours) - counter(PowerOffHours, 0, hours);
    case AuxVolume:
        return c.volumeStart / 3.0 + 0.4 * hours + wobble(AuxVolume, 0.4);
    case Electricity:
        return c.energyStart * 50.0 + 15.0 * hours + wobble(Electricity, 15.0);
    default:
        return std::nan("");
    }
}

// The union of the flags raised in the hours of [from, to): a system now
// and then reports one of its thirteen conditions, the device one of six.
int MeterValues::flags(int system, double from, double to) const
{
    static const int deviceBits[] = {0, 1, 2, 3, 4, 8};
    const quint64 id = stream(m_seed, system == 0 ? DeviceFlags : SystemFlags, system, 2);
    const double chance = system == 0 ? 0.004 : 0.02;
    int result = 0;
    const qint64 last = qMax(qint64(std::floor(from)) + 1, qint64(std::ceil(to)));
    for (qint64 hour = qint64(std::floor(from)); hour < last; ++hour) {
        const quint64 hash = mix(id, quint64(hour));
        if (unit(hash) < chance)
            result |= 1 << (system == 0 ? deviceBits[(hash >> 8) % 6] : int((hash >> 8) % 13));
    }
    return result;
}

QVariant MeterValues::cell(const Column &column, Kind kind, const Interval &interval) const
{
    if (column.quantity < 0)
        return QVariant();
    const int system = column.system;
    const bool isCurrent = kind == CurrentData;
    const bool isTotals = kind == DayTotals || kind == MonthTotals;
    const double hours = qMax(interval.to - interval.from, 1e-9);
    const qint64 slot = qint64(std::floor(interval.from));
    // Measurement noise of one quantity in this record.
    auto jitter = [&](int quantity) { return noise(stream(m_seed, quantity, system, 3 + kind), slot); };
    // The amount of an interval, the reading of a totals record or of a
    // current reading.
    auto count = [&](int quantity) -> QVariant {
        const double end = counter(quantity, system, interval.to);
        return rounded(isCurrent || isTotals ? end : end - counter(quantity, system, interval.from), column.decimals);
    };
    // A load average over the interval, or the load at the instant.
    auto averageLoad = [&]() {
        if (isCurrent)
            return load(system, interval.to);
        return (loadIntegral(system, interval.to) - loadIntegral(system, interval.from)) / hours;
    };
    auto temperature = [&](int quantity, double low, double span, double spread) {
        return rounded(qBound(low, low + span * averageLoad() + spread * jitter(quantity), low + span),
                       column.decimals);
    };
    auto flowRate = [&](int massQuantity) -> QVariant {
        if (isTotals)
            return QVariant();
        if (isCurrent) {
            const System &c = m_systems[system];
            const double share = massQuantity == Mass2 ? c.returnShare : 1.0;
            const double base = massQuantity == Mass3 ? c.makeupFlow : c.massFlow * share;
            return base * (1.0 + 0.04 * jitter(massQuantity));
        }
        return (counter(massQuantity, system, interval.to) - counter(massQuantity, system, interval.from)) / hours;
    };
    auto measured = [&](double value) -> QVariant { return rounded(value, column.decimals); };

    switch (column.quantity) {
    case DeviceTime:
        return isCurrent ? QVariant(interval.deviceTime) : QVariant();
    case Mass1: case Mass2: case Mass3: case MassDiff: case Volume1: case Volume2: case Volume3:
    case Energy: case EnergySum: case WorkHours: case WorkMinutes: case PowerOffHours: case NormalHours:
    case AuxVolume: case Electricity:
        return count(column.quantity);
    case Amount1: case Amount2: case Amount3:
        if (isCurrent || isTotals)
            return QVariant();
        return count(Mass1 + (column.quantity - Amount1));
    case Supply:
        return isTotals ? QVariant() : temperature(Supply, 60.0, 35.0, 0.6);
    case Return:
        return isTotals ? QVariant() : temperature(Return, 35.0, 25.0, 0.4);
    case TempDiff:
        if (isTotals)
            return QVariant();
        return rounded(temperature(Supply, 60.0, 35.0, 0.6) - temperature(Return, 35.0, 25.0, 0.4), column.decimals);
    case ColdWater:
        return isTotals ? QVariant() : temperature(ColdWater, 5.0, 10.0 * (1.0 - averageLoad()), 0.2);
    case AirTemp:
        return isTotals ? QVariant() : measured(25.0 - 45.0 * averageLoad() + 3.0 * jitter(AirTemp));
    case SupplyPressure:
        return isTotals ? QVariant() : measured(6.0 + 0.6 * jitter(SupplyPressure));
    case ReturnPressure:
        return isTotals ? QVariant() : measured(3.0 + 0.4 * jitter(ReturnPressure));
    case ColdPressure:
        return isTotals ? QVariant() : measured(2.5 + 0.2 * jitter(ColdPressure));
    case MassFlow1: case MassFlow2: case MassFlow3: {
        const QVariant rate = flowRate(Mass1 + (column.quantity - MassFlow1));
        return rate.isValid() ? measured(rate.toDouble()) : rate;
    }
    case VolumeFlow1: case VolumeFlow2: case VolumeFlow3: {
        const QVariant rate = flowRate(Mass1 + (column.quantity - VolumeFlow1));
        const double volume = column.quantity == VolumeFlow3 ? kColdSpecificVolume : kSpecificVolume;
        return rate.isValid() ? measured(rate.toDouble() * volume) : rate;
    }
    case HeatPower:
        if (isTotals)
            return QVariant();
        return measured(m_systems[system].massFlow * (25.0 + 10.0 * averageLoad()) / 1000.0);
    case ElectricPower:
        return isTotals ? QVariant() : measured(15.0 + 6.0 * jitter(ElectricPower));
    case SystemFlags:
    case DeviceFlags:
        if (isTotals)
            return QVariant();
        return flags(column.quantity == DeviceFlags ? 0 : system, isCurrent ? interval.to : interval.from,
                     interval.to);
    case ErrorCode: {
        if (isTotals)
            return QVariant();
        const quint64 id = stream(m_seed, ErrorCode, 0, 2);
        const qint64 first = qint64(std::floor(isCurrent ? interval.to : interval.from));
        const qint64 last = qMax(first + 1, qint64(std::ceil(interval.to)));
        for (qint64 hour = first; hour < last; ++hour) {
            const quint64 hash = mix(id, quint64(hour));
            if (unit(hash) < 0.002)
                return int(1 + (hash >> 8) % 9);
        }
        return 0;
    }
    case FaultHours:
    case StopHours: {
        if (isCurrent || isTotals)
            return QVariant();
        if (column.quantity == StopHours)
            return 0.0;
        int flagged = 0;
        const qint64 last = qMax(slot + 1, qint64(std::ceil(interval.to)));
        for (qint64 hour = slot; hour < last; ++hour)
            flagged += flags(system, double(hour), double(hour + 1)) != 0 ? 1 : 0;
        return double(flagged);
    }
    case SettingsBase:
        // The heating-season base in the colder half of the year.
        return std::cos(kTwoPi * (interval.to - kColdestHour) / kYearHours) > -0.2 ? 1 : 2;
    case EnergyUnit:
    case PressureUnit:
    case Scheme:
        return 0;
    default:
        return QVariant();
    }
}

ZeltoTable MeterValues::archive(Kind kind, const QStringList &columns, const QDateTime &from,
                                const QDateTime &to) const
{
    QStringList names{QStringLiteral("date")};
    names.append(columns);
    ZeltoTable table(names);
    if (!from.isValid() || !to.isValid() || from > to)
        return table;
    const QList<Column> parsed = parse(columns);

    // The first grid date at or after `from`.
    QDateTime date;
    if (kind == HourData || kind == CurrentData) {
        date = QDateTime(from.date(), QTime(from.time().hour(), 0), from.timeSpec());
        if (date < from)
            date = date.addSecs(3600);
    } else if (kind == DayData || kind == DayTotals) {
        date = QDateTime(from.date(), QTime(0, 0), from.timeSpec());
        if (date < from)
            date = QDateTime(from.date().addDays(1), QTime(0, 0), from.timeSpec());
    } else {
        const QDate first(from.date().year(), from.date().month(), 1);
        date = QDateTime(first, QTime(0, 0), from.timeSpec());
        if (date < from)
            date = QDateTime(first.addMonths(1), QTime(0, 0), from.timeSpec());
    }

    QVector<QVector<QVariant>> rows;
    while (date.isValid() && date <= to) {
        QDateTime next;
        switch (kind) {
        case HourData:
        case CurrentData:
            next = date.addSecs(3600);
            break;
        case DayData:
        case DayTotals:
            next = QDateTime(date.date().addDays(1), QTime(0, 0), date.timeSpec());
            break;
        default:
            next = QDateTime(date.date().addMonths(1), QTime(0, 0), date.timeSpec());
            break;
        }
        const double start = hoursOf(date, m_zoneHours);
        Interval interval{start, hoursOf(next, m_zoneHours), date};
        if (kind == CurrentData)
            interval.from = interval.to = start;
        QVector<QVariant> row;
        row.reserve(names.size());
        row.append(date);
        for (const Column &column : parsed)
            row.append(cell(column, kind, interval));
        rows.append(row);
        date = next;
    }
    table.setContent(names, std::move(rows));
    return table;
}

ZeltoTable MeterValues::current(const QStringList &columns, const QDateTime &at, qint64 clockOffsetSecs) const
{
    QStringList names{QStringLiteral("date"), QStringLiteral("sys_date")};
    names.append(columns);
    ZeltoTable table(names);
    if (!at.isValid())
        return table;
    const QDateTime deviceTime = at.addSecs(clockOffsetSecs);
    const double now = hoursOf(at, m_zoneHours);
    const Interval interval{now, now, deviceTime};
    QVariantList row{deviceTime, at};
    for (const Column &column : parse(columns))
        row.append(cell(column, CurrentData, interval));
    table.appendRow(row);
    return table;
}
