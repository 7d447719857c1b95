#include "simarchives.h"

#include <QCoreApplication>

namespace {

const int kHourDays = 366;
const int kDayDays = 1100;
const int kMonths = 120;
const double kGapShare = 0.05;

enum Purpose : quint64 { GapPurpose = 1, JournalPurpose = 2, VersionPurpose = 3 };

QString tr(const char *text)
{
    return QCoreApplication::translate("SimArchives", text);
}

// The first date to read: the request's, else the depth; never before what
// the meter keeps, never after the overlap.
QDateTime firstRecord(const QDateTime &firstDate, const QDateTime &now, const SimArchives::Reach &reach,
                      const QDateTime &oldestKept)
{
    QDateTime from = firstDate.isValid() ? firstDate : now.addDays(-reach.depthDays);
    if (reach.overlapDays > 0)
        from = qMin(from, now.addDays(-reach.overlapDays));
    return qMax(from, oldestKept);
}

ZeltoTable withGaps(const MeterValues &meter, ZeltoTable table)
{
    for (int row = table.rowCount() - 1; row >= 0; --row) {
        const qint64 at = table.value(row, 0).toDateTime().toSecsSinceEpoch();
        if (meter.chance(GapPurpose, at) < kGapShare)
            table.removeRow(row);
    }
    return table;
}

// Now and then a setting changes or the clock is set: one event on about
// one day in ten.
ZeltoTable journal(const MeterValues &meter, const QDateTime &from, const QDateTime &now)
{
    ZeltoTable table({QStringLiteral("ctime"), QStringLiteral("param"), QStringLiteral("old_value"),
                      QStringLiteral("new_value")});
    for (QDate day = from.date(); day <= now.date(); day = day.addDays(1)) {
        const qint64 index = day.toJulianDay();
        const double roll = meter.chance(JournalPurpose, index);
        if (roll >= 0.1)
            continue;
        const QDateTime ctime(day, QTime(0, 0).addSecs(int(meter.chance(JournalPurpose + 10, index) * 86399)));
        if (ctime < from || ctime > now)
            continue;
        if (roll < 0.05) {
            const QTime shown = ctime.time().addSecs(-int(roll * 2000));
            table.appendRow(QVariantList{ctime, QStringLiteral("DT"), shown.toString(QStringLiteral("hh:mm:ss")),
                                         ctime.time().toString(QStringLiteral("hh:mm:ss"))});
        } else {
            const bool toSummer = day.month() >= 4 && day.month() <= 9;
            table.appendRow(QVariantList{ctime, QStringLiteral("DB"), toSummer ? QStringLiteral("1") : QStringLiteral("2"),
                                         toSummer ? QStringLiteral("2") : QStringLiteral("1")});
        }
    }
    return table;
}

ZeltoTable settings(const SimDevice &device, int version)
{
    ZeltoTable table({QStringLiteral("name"), QStringLiteral("value")});
    table.appendRow(QVariantList{tr("Заводской номер"), QString::number(device.number())});
    table.appendRow(QVariantList{tr("Версия ПО"), QString::number(version)});
    table.appendRow(QVariantList{tr("Единицы тепловой энергии"), tr("Гкал")});
    table.appendRow(QVariantList{tr("Единицы давления"), tr("кгс/см2")});
    for (int system : device.systems())
        table.appendRow(QVariantList{tr("Схема измерения, система %1").arg(system), tr("Закрытая система")});
    return table;
}

} // namespace

ZeltoTableMap SimArchives::read(const SimDevice &device, const QStringList &data, const QDateTime &firstDate,
                                const QDateTime &now, const Reach &reach)
{
    const MeterValues meter(device.number());
    const bool gaps = device.faults() & SimDevice::Gaps;
    ZeltoTableMap tables;

    const int version = 1 + int(meter.chance(VersionPurpose, 0) * 4);
    QVariantMap info{{QStringLiteral("model_code"), device.model()},
                     {QStringLiteral("model_name"), device.modelName()},
                     {QStringLiteral("version"), version},
                     {QStringLiteral("firmware"), 100 + int(meter.chance(VersionPurpose, 1) * 50)}};
    if (device.hasNumber())
        info.insert(QStringLiteral("number"), device.number());
    ZeltoTable infoTable;
    infoTable.appendRow(info);
    tables.insert(QStringLiteral("info"), infoTable);

    const qint64 clockOffset = device.faults() & SimDevice::ClockOff ? qint64(device.clockOffsetMinutes()) * 60 : 0;
    tables.insert(QStringLiteral("current_data"),
                  meter.current(device.columns(MeterValues::CurrentData), now, clockOffset));
    if (data.size() > (data.contains(QStringLiteral("currentData")) ? 1 : 0))
        tables.insert(QStringLiteral("setting_data"), settings(device, version));

    auto archive = [&](MeterValues::Kind kind, const QDateTime &oldestKept, const QDateTime &lastRecord) {
        const QDateTime from = firstRecord(firstDate, now, reach, oldestKept);
        const ZeltoTable table = meter.archive(kind, device.columns(kind), from, lastRecord);
        tables.insert(MeterValues::archiveName(kind), gaps ? withGaps(meter, table) : table);
    };
    // A record is there once its interval has ended.
    if (data.contains(QStringLiteral("monthData"))) {
        const QDateTime oldest = now.addMonths(-kMonths);
        archive(MeterValues::MonthData, oldest, now.addMonths(-1));
        if (device.hasTotals())
            archive(MeterValues::MonthTotals, oldest, now.addMonths(-1));
    }
    if (data.contains(QStringLiteral("dayData"))) {
        archive(MeterValues::DayData, now.addDays(-kDayDays), now.addDays(-1));
        if (device.hasTotals())
            archive(MeterValues::DayTotals, now.addDays(-kDayDays), now.addDays(-1));
    }
    if (data.contains(QStringLiteral("hourData")))
        archive(MeterValues::HourData, now.addDays(-kHourDays), now.addSecs(-3600));
    if (data.contains(QStringLiteral("journalData")))
        tables.insert(QStringLiteral("journal_data"),
                      journal(meter, firstRecord(firstDate, now, reach, now.addDays(-kDayDays)), now));
    return tables;
}

QStringList SimArchives::summary(const ZeltoTableMap &tables)
{
    QStringList lines;
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        if (it.key() != QLatin1String("info"))
            lines.append(tr("Считано записей %1: %2").arg(it.key()).arg(it->rowCount()));
    }
    return lines;
}
