#pragma once

#include <QVariant>

// Parameter descriptions for a device model's values, and the distinct
// values of a table column for filter lists.
namespace ParameterCommands {
QVariant describeParams(const QVariantList &params);
QVariant getValues(const QVariantList &params);
}
