#include "legacypackage.h"

#include "metadatacatalogue.h"

#include <QDateTime>
#include <QStringList>

namespace {

const QString kCode = QStringLiteral("code");

void copyText(const QVariantMap &from, const QString &fromKey, QVariantMap &to, const QString &toKey)
{
    if (from.contains(fromKey))
        to.insert(toKey, from.value(fromKey).toString());
}

void copyUnsigned(const QVariantMap &from, const QString &fromKey, QVariantMap &to, const QString &toKey)
{
    if (from.contains(fromKey))
        to.insert(toKey, from.value(fromKey).toUInt());
}

} // namespace

QVariantMap LegacyPackage::takeCheckParams(ZeltoTableMap &tables)
{
    const auto params = tables.constFind(QStringLiteral("params"));
    if (params == tables.constEnd())
        return QVariantMap();
    QVariantMap checkParams = params->value(0, QStringLiteral("checkParams")).toMap();
    const QString script = QStringLiteral("script");
    if (checkParams.value(script).toString().trimmed().isEmpty())
        checkParams.remove(script);
    tables.remove(QStringLiteral("params"));
    return checkParams;
}

QVariantMap LegacyPackage::channel(const QVariantMap &old)
{
    QVariantMap channel;
    channel.insert(kCode, old.value(kCode).toString());
    for (const char *key : {"phoneNumber", "hostName", "deviceId"})
        copyText(old, QLatin1String(key), channel, QLatin1String(key));
    if (old.contains(QStringLiteral("linkAdapter"))) {
        QVariantMap adapter;
        adapter.insert(kCode, old.value(QStringLiteral("linkAdapter")).toString());
        copyText(old, QStringLiteral("linkPort"), adapter, QStringLiteral("port"));
        copyUnsigned(old, QStringLiteral("linkBaudRate"), adapter, QStringLiteral("baudRate"));
        copyUnsigned(old, QStringLiteral("linkReadTimeout"), adapter, QStringLiteral("readTimeout"));
        copyUnsigned(old, QStringLiteral("linkCharTimeout"), adapter, QStringLiteral("charTimeout"));
        channel.insert(QStringLiteral("adapter"), adapter);
    }
    return channel;
}

QVariantMap LegacyPackage::timetable(QVariantMap schedule)
{
    const QString typeKey = QStringLiteral("type");
    if (!schedule.contains(typeKey))
        return schedule;
    const QString type = schedule.take(typeKey).toString();
    const QString mode = QStringLiteral("mode");
    if (type == QLatin1String("constant")) {
        schedule.insert(mode, QStringLiteral("hourly"));
        schedule.insert(QStringLiteral("minute"), 0);
        return schedule;
    }
    if (type != QLatin1String("daily") && type != QLatin1String("weekly"))
        return QVariantMap();
    schedule.insert(mode, type);
    // Old schedules hold whole date-times of which only the time of day
    // counts; it is kept as text, the form clients send, so that the task
    // exports again. Text that is no date-time stays, and the task save
    // refuses it.
    const QString timesKey = QStringLiteral("times");
    QVariantList times;
    const QVariantList old = schedule.value(timesKey).toList();
    for (const QVariant &item : old) {
        const QTime time = QDateTime::fromString(item.toString(), Qt::ISODate).time();
        times.append(time.isValid() ? QVariant(time.toString(QStringLiteral("hh:mm:ss"))) : item);
    }
    schedule.insert(timesKey, times);
    return schedule;
}

QVariantMap LegacyPackage::task(const QVariantMap &info, const QString &modelCode)
{
    const QVariantMap old = info.value(QStringLiteral("channel")).toMap();
    if (!old.contains(kCode))
        return QVariantMap();
    QStringList archives = info.value(QStringLiteral("readParams")).toMap().value(QStringLiteral("data")).toStringList();
    const QString driver = MetadataCatalogue::instance().modelDriver(modelCode);
    if (driver != QLatin1String("QRVK"))
        archives << QStringLiteral("settings") << QStringLiteral("journalData");
    if (driver == QLatin1String("QRVH"))
        archives << QStringLiteral("monthData");
    QVariantMap task;
    task.insert(QStringLiteral("channel"), channel(old));
    task.insert(QStringLiteral("archives"), archives);
    task.insert(QStringLiteral("timetable"), timetable(info.value(QStringLiteral("schedule")).toMap()));
    return task;
}

void LegacyPackage::convertTables(ZeltoTableMap &tables)
{
    tables.remove(QStringLiteral("settings"));
    static const char *const renames[][2] = {{"currentData", "current_data"}, {"monthData", "month_data"},
                                             {"monthTotals", "month_totals"}, {"dayData", "day_data"},
                                             {"dayTotals", "day_totals"},     {"hourData", "hour_data"}};
    for (const auto &rename : renames) {
        const QString oldName = QLatin1String(rename[0]);
        const auto old = tables.constFind(oldName);
        if (old == tables.constEnd())
            continue;
        if (old->rowCount() > 0)
            tables.insert(QLatin1String(rename[1]), *old);
        tables.remove(oldName);
    }

    const QString oldJournal = QStringLiteral("journalData");
    const auto journal = tables.constFind(oldJournal);
    if (journal == tables.constEnd())
        return;
    ZeltoTable converted({QStringLiteral("ctime"), QStringLiteral("param"), QStringLiteral("old_value"),
                          QStringLiteral("new_value")});
    for (int row = 0; row < journal->rowCount(); ++row)
        converted.appendRow(QVariantList{journal->value(row, QStringLiteral("date")),
                                         journal->value(row, QStringLiteral("param")),
                                         journal->value(row, QStringLiteral("oldValue")),
                                         journal->value(row, QStringLiteral("newValue"))});
    tables.insert(QStringLiteral("journal_data"), converted);
    tables.remove(oldJournal);
}

void LegacyPackage::fillPowerUnit(ZeltoTableMap &tables, const QString &modelCode)
{
    static const QStringList models = {QStringLiteral("RNH7"), QStringLiteral("LWD41"), QStringLiteral("LWD43")};
    if (!models.contains(modelCode))
        return;
    const QString pdim = QStringLiteral("Pdim");
    const QString qdim = QStringLiteral("Qdim");
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        ZeltoTable &table = it.value();
        if (it.key() == QLatin1String("info") || table.containsColumn(pdim) || !table.containsColumn(qdim))
            continue;
        const int from = table.columnIndex(qdim);
        const int to = table.appendColumn(pdim);
        for (int row = 0; row < table.rowCount(); ++row)
            table.setValue(row, to, table.value(row, from));
    }
}
