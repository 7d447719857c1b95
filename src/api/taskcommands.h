#pragma once

#include <QVariant>

class CommandParams;

// The polling task records visible to the calling user, and their runs.
namespace TaskCommands {
QVariant getTasks(CommandParams &p);
QVariant getTask(CommandParams &p);
QVariant getTaskData(CommandParams &p);
QVariant getTaskLog(CommandParams &p);
QVariant saveTask(CommandParams &p);
QVariant setTaskGroup(CommandParams &p);
QVariant removeTask(CommandParams &p);
QVariant startTask(CommandParams &p);
QVariant cancelTask(CommandParams &p);
QVariant getTaskState(CommandParams &p);
}
