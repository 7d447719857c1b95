#include "zeltoencodedtable.h"

#include "zeltostream.h"
#include "zeltotable.h"

bool ZeltoEncodedTable::decode(ZeltoTable &table, QString *error) const
{
    ZeltoStream reader(stream);
    QVariant value;
    reader >> value;
    QString problem;
    if (reader.status() != ZeltoStream::Ok)
        problem = reader.errorString();
    else if (!reader.atEnd() || value.userType() != qMetaTypeId<ZeltoTable>())
        problem = QStringLiteral("должна быть ровно одна таблица");
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    table = *static_cast<const ZeltoTable *>(value.constData());
    return true;
}
