#pragma once

#include "zeltosystem.h"

// The calling thread's last error, the channel every failure is reported in.
inline QString lastError() { return ZeltoSystem::instance()->lastError(); }
