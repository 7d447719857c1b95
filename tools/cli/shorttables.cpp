#include "shorttables.h"

#include <QHash>
#include <QStringList>

namespace {

const QHash<QString, QStringList> &usualColumns()
{
    static const QHash<QString, QStringList> columns = {
        {QStringLiteral("getNodes"),
         {QStringLiteral("id"), QStringLiteral("group_id"), QStringLiteral("name"), QStringLiteral("model_code"),
          QStringLiteral("number"), QStringLiteral("last_update"), QStringLiteral("read_error"),
          QStringLiteral("check_fails")}},
        {QStringLiteral("getTasks"),
         {QStringLiteral("id"), QStringLiteral("node_id"), QStringLiteral("node_name"),
          QStringLiteral("timetable_mode"), QStringLiteral("last_exec"), QStringLiteral("next_exec"),
          QStringLiteral("state"), QStringLiteral("last_error")}},
    };
    return columns;
}

} // namespace

ZeltoTable ShortTables::narrowed(const QString &command, const ZeltoTable &table, int &hidden)
{
    hidden = 0;
    const auto usual = usualColumns().constFind(command);
    if (usual == usualColumns().constEnd())
        return table;
    QList<int> kept;
    for (const QString &name : usual.value()) {
        const int c = table.columnIndex(name);
        if (c >= 0)
            kept.append(c);
    }
    if (kept.isEmpty() || kept.size() == table.columnCount())
        return table;
    QStringList names;
    for (int c : qAsConst(kept))
        names.append(table.columnName(c));
    QVector<QVector<QVariant>> rows;
    rows.reserve(table.rowCount());
    for (int row = 0; row < table.rowCount(); ++row) {
        QVector<QVariant> cells;
        cells.reserve(kept.size());
        for (int c : qAsConst(kept))
            cells.append(table.value(row, c));
        rows.append(cells);
    }
    ZeltoTable result;
    result.setContent(names, std::move(rows));
    hidden = table.columnCount() - kept.size();
    return result;
}
