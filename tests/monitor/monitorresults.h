#pragma once

#include "datamonitor.h"
#include "taskmanager.h"
#include "zeltosystem.h"
#include "zeltotable.h"
#include "zeltotestclock.h"

#include <QtTest>

// Hands monitor run results to the data monitor as a finished run does (the
// task manager it was given emits them) and gives the
// nodes it announced once the announcement delay has passed on the
// monitor's clock. The OPC publisher's signal and the clients' change event
// "nodeMonitored" must name the same nodes.
inline QList<int> announcedAfter(ZeltoTestClock &clock, TaskManager *polling, DataMonitor *monitor,
                                 const QList<QVariantMap> &results)
{
    QSignalSpy events(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QSignalSpy signalled(monitor, &DataMonitor::nodeMonitored);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        emit polling->monitored(table);
    }
    QCoreApplication::processEvents();   // the results reach the monitor
    clock.advance(DataMonitor::kAnnounceDelayMs);
    QCoreApplication::processEvents();   // queued notifications reach the spy
    QList<int> nodes, viaSignal;
    for (const QList<QVariant> &event : qAsConst(events))
        if (event.at(0).toString() == QLatin1String("nodeMonitored"))
            nodes.append(event.at(1).toInt());
    for (const QList<QVariant> &signal : qAsConst(signalled))
        viaSignal.append(signal.at(0).toInt());
    if (viaSignal != nodes) {
        QTest::qFail("the signal and the change events name other nodes", __FILE__, __LINE__);
        return {};
    }
    return nodes;
}
