#pragma once

#include "commandparams.h"

#include <QVariant>

// Moving a node with its tasks and archives between servers as one package.
namespace ExchangeCommands {
QVariant exportNode(CommandParams &p);
QVariant importNode(CommandParams &p);
}
