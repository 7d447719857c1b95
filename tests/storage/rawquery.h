#pragma once

#include "outcome.h"
#include "tempdatabasehome.h"

#include <QSqlQuery>
#include <QVariant>

// The first column of the first row of a statement on the raw connection,
// as the driver gives it (no decoding); invalid when the statement fails.
inline QVariant scalar(const QString &statement, const QVariantList &values = QVariantList())
{
    QSqlQuery query;
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec() && query.next() ? query.value(0) : QVariant();
}

// A node of model TV7: its id, or -1.
inline int addNode(const QString &name, int number)
{
    return testDatabase().save("nodes", {{"name", name}, {"model_code", "TV7"}, {"number", number}}).valueOr(-1);
}
