#pragma once

#include <QVariant>

class CommandParams;

// The polling task records visible to the calling user.
namespace TaskCommands {
QVariant getTasks(CommandParams &p);
QVariant getTask(CommandParams &p);
QVariant getTaskData(CommandParams &p);
QVariant getTaskLog(CommandParams &p);
QVariant saveTask(CommandParams &p);
QVariant setTaskGroup(CommandParams &p);
QVariant removeTask(CommandParams &p);
}
