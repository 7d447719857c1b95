#pragma once

#include "datamonitor.h"
#include "zeltosystem.h"
#include "zeltotable.h"
#include "zeltotestclock.h"

#include <QtTest>

// Hands monitor run results to the data monitor as a finished run does and
// gives the nodes it announced ("nodeMonitored") once the announcement delay
// has passed on the monitor's clock.
inline QList<int> announcedAfter(ZeltoTestClock &clock, const QList<QVariantMap> &results)
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        ZeltoSystem::instance()->notify("monitored", QVariant::fromValue(table));
    }
    QCoreApplication::processEvents();   // the results reach the monitor
    clock.advance(DataMonitor::kAnnounceDelayMs);
    QList<int> nodes;
    for (const QList<QVariant> &signal : qAsConst(spy))
        if (signal.at(0).toString() == QLatin1String("nodeMonitored"))
            nodes.append(signal.at(1).toInt());
    return nodes;
}
