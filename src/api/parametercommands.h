#pragma once

#include "commandresult.h"

class CommandParams;

// Parameter descriptions for a device model's values, and the distinct
// values of a table column for filter lists.
namespace ParameterCommands {
CommandReply describeParams(CommandParams &p);
CommandReply getValues(CommandParams &p);
}
