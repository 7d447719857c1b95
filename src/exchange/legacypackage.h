#pragma once

#include "zeltotable.h"

#include <QString>
#include <QVariantMap>

// What node packages of earlier releases hold in another form than the
// current layout (NodeExport):
//   "params"        one row whose "checkParams" map holds the check parameters
//   info "model", "modelName"   for "model_code", "model_name"
//   info "channel", "readParams", "schedule"   one polling task, in the old
//                   channel settings, archive list ("data") and schedule
//                   (with "type" "constant", "daily" or "weekly")
//   "currentData", "monthData", "monthTotals", "dayData", "dayTotals",
//   "hourData"      the archives under their old names
//   "journalData"   the device journal with "date", "param", "oldValue", "newValue"
//   "settings"      old device settings, no longer kept
// Each function turns one of them into the current form.
class LegacyPackage
{
public:
    // The check parameters of a "params" table, which is taken out of the
    // package; an empty map when there is none. A blank script is left out.
    static QVariantMap takeCheckParams(ZeltoTableMap &tables);

    // The polling task an old info row describes: the task's editable form
    // without "node_id", or an empty map when the row names no channel.
    static QVariantMap task(const QVariantMap &info, const QString &modelCode);

    // Old archive names and the old device journal into the current ones;
    // drops "settings".
    static void convertTables(ZeltoTableMap &tables);

    // Heat meters of the models that once kept the power unit under "Qdim"
    // only: rows of a table with "Qdim" and no "Pdim" get "Pdim" = "Qdim".
    static void fillPowerUnit(ZeltoTableMap &tables, const QString &modelCode);

private:
    static QVariantMap channel(const QVariantMap &old);
    static QVariantMap timetable(QVariantMap schedule);
};
