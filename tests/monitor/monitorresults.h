#pragma once

#include "datamonitor.h"
#include "taskmanager.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QtTest>

// Hands monitor run results to the data monitor as a finished run does (the
// task manager, created before the data monitor, emits them) and gives the
// nodes it announced: waits for the first announcement, then a while longer
// for any that should not come. The OPC publisher's signal and the clients'
// change event "nodeMonitored" must name the same nodes.
inline QList<int> announcedAfter(const QList<QVariantMap> &results)
{
    QSignalSpy events(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QSignalSpy signalled(DataMonitor::instance(), &DataMonitor::nodeMonitored);
    for (const QVariantMap &row : results) {
        ZeltoTable table;
        table.appendRow(row);
        emit TaskManager::instance()->monitored(table);
    }
    QList<int> nodes, viaSignal;
    const auto announced = [&]() {
        nodes.clear();
        for (const QList<QVariant> &event : qAsConst(events))
            if (event.at(0).toString() == QLatin1String("nodeMonitored"))
                nodes.append(event.at(1).toInt());
        return !nodes.isEmpty();
    };
    if (QTest::qWaitFor(announced, 10000))
        QTest::qWait(400);
    announced();
    for (const QList<QVariant> &signal : qAsConst(signalled))
        viaSignal.append(signal.at(0).toInt());
    if (viaSignal != nodes) {
        QTest::qFail("the signal and the change events name other nodes", __FILE__, __LINE__);
        return {};
    }
    return nodes;
}
