#pragma once

#include <QJsonValue>
#include <QString>
#include <QVariant>

// How a current value is published as an OPC item: the item's type, taken
// from the value the node's current data holds at start, and the value and
// quality written for it.
class OpcValue
{
public:
    enum Type { None, Boolean, Int32, UInt32, Double, String, DateTime };

    // Quality codes of the items.
    static constexpr int kGood = 0xC0;
    static constexpr int kBad = 0x00;
    static constexpr int kNotConnected = 0x08;

    // None for values that get no item (nulls, lists, tables, markers, and
    // whole numbers outside the 32-bit ranges).
    static Type typeOf(const QVariant &value);
    // The type's name on the gateway's line protocol; empty for None.
    static QString typeName(Type type);
    // The value as the item of type carries it on the line protocol (date-times
    // as UTC ISO 8601 text); null when it does not fit the type.
    static QJsonValue toWire(const QVariant &value, Type type);
    // The value written with quality 0x08 or 0x00: zero, false, empty text.
    static QJsonValue zero(Type type);
    // The wire value and quality of a good value; zero with 0x00 (bad) when
    // the value is of another type.
    static QPair<QJsonValue, int> published(const QVariant &value, Type type);
};
