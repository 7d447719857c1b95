#pragma once

#include <QVariant>

class CommandParams;

// Parameter descriptions for a device model's values, and the distinct
// values of a table column for filter lists.
namespace ParameterCommands {
QVariant describeParams(CommandParams &p);
QVariant getValues(CommandParams &p);
}
