#pragma once

#include <QVariant>

class CommandParams;

// Check parameters, checking stored archives, and the check log.
namespace CheckCommands {
QVariant getCheckParams(CommandParams &p);
QVariant setCheckParams(CommandParams &p);
QVariant checkArchives(CommandParams &p);
QVariant getCheckLog(CommandParams &p);
QVariant getCheckErrors(CommandParams &p);
QVariant clearCheckLog(CommandParams &p);
}
