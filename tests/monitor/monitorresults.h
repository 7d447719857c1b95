#pragma once

#include "zeltosystem.h"
#include "zeltotable.h"

#include <QtTest>

// Hands monitor run results to the data monitor as a finished run does and
// gives the nodes it announced ("nodeMonitored"): waits for the first
// announcement, then a while longer for any that should not come.
inline QList<int> announcedAfter(const QList<QVariantMap> &results)
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        ZeltoSystem::instance()->notify("monitored", QVariant::fromValue(table));
    }
    QList<int> nodes;
    const auto announced = [&]() {
        nodes.clear();
        for (const QList<QVariant> &signal : qAsConst(spy))
            if (signal.at(0).toString() == QLatin1String("nodeMonitored"))
                nodes.append(signal.at(1).toInt());
        return !nodes.isEmpty();
    };
    if (QTest::qWaitFor(announced, 10000))
        QTest::qWait(400);
    announced();
    return nodes;
}
