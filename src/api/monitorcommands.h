#pragma once

#include <QVariant>

class CommandParams;

// The data monitor: which nodes the calling user watches, and their values.
namespace MonitorCommands {
QVariant monitorAppend(CommandParams &p);
QVariant monitorRemove(CommandParams &p);
QVariant monitorGetData(CommandParams &p);
}
