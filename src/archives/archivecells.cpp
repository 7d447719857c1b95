#include "archivecells.h"

#include "archivestore.h"
#include "zeltomarkers.h"
#include "zeltosystem.h"

bool ArchiveCells::isAllowed(const QVariant &cell)
{
    switch (cell.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return true;
    default:
        return cell.userType() == qMetaTypeId<ZeltoOutOfRange>() || cell.userType() == qMetaTypeId<ZeltoUnused>();
    }
}

ZeltoStatus ArchiveCells::check(const ZeltoTableMap &tables)
{
    for (const QString &archive : ArchiveStore::archiveNames()) {
        const auto table = tables.constFind(archive);
        if (table == tables.constEnd())
            continue;
        for (int row = 0; row < table->rowCount(); ++row) {
            const QVector<QVariant> &cells = table->rowCells(row);
            for (int column = 0; column < cells.size(); ++column) {
                if (!isAllowed(cells.at(column)))
                    return ZeltoStatus::invalid(
                        tr("Неверное значение в архиве %1, строка %2, столбец %3: ожидается число, текст или дата")
                            .arg(archive)
                            .arg(row + 1)
                            .arg(table->columnName(column).left(40)));
            }
        }
    }
    return ZeltoStatus();
}
