#pragma once

#include <QVariant>

// The polling task records visible to the calling user, and their runs.
namespace TaskCommands {
QVariant getTasks(const QVariantList &params);
QVariant getTask(const QVariantList &params);
QVariant getTaskData(const QVariantList &params);
QVariant getTaskLog(const QVariantList &params);
QVariant saveTask(const QVariantList &params);
QVariant setTaskGroup(const QVariantList &params);
QVariant removeTask(const QVariantList &params);
QVariant startTask(const QVariantList &params);
QVariant cancelTask(const QVariantList &params);
QVariant getTaskState(const QVariantList &params);
}
