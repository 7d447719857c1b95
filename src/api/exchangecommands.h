#pragma once

#include <QVariant>

// Moving a node with its tasks and archives between servers as one package.
namespace ExchangeCommands {
QVariant exportNode(const QVariantList &params);
QVariant importNode(const QVariantList &params);
}
