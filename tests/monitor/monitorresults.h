#pragma once

#include "zeltosystem.h"
#include "zeltotable.h"

#include <QtTest>

// Hands monitor run results to the data monitor as a finished run does and
// gives the nodes it announced ("nodeMonitored") within the next 600 ms.
inline QList<int> announcedAfter(const QList<QVariantMap> &results)
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        ZeltoSystem::instance()->notify("monitored", QVariant::fromValue(table));
    }
    QTest::qWait(600);
    QList<int> nodes;
    for (const QList<QVariant> &signal : qAsConst(spy))
        if (signal.at(0).toString() == QLatin1String("nodeMonitored"))
            nodes.append(signal.at(1).toInt());
    return nodes;
}
