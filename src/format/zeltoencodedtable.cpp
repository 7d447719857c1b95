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

namespace {

// A table the server passes on in its stored bytes, for a caller that
// takes the table (value<ZeltoTable>()); bytes that hold none give none.
ZeltoTable encodedToTable(const ZeltoEncodedTable &encoded)
{
    ZeltoTable table;
    return encoded.decode(table) ? table : ZeltoTable();
}

void registerEncodedTable()
{
    qRegisterMetaType<ZeltoEncodedTable>("ZeltoEncodedTable");
    QMetaType::registerConverter<ZeltoEncodedTable, ZeltoTable>(encodedToTable);
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(registerEncodedTable)
