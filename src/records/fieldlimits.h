#pragma once

#include "zeltostatus.h"

#include <QCoreApplication>
#include <QString>
#include <QVariantMap>

// How much the fields of users, groups, nodes and tasks may hold. Every
// record read by a client carries them, so one oversized value would make
// every later read of the list slow; each path that writes a field checks
// it here before anything is written. Texts are bounded in characters,
// lists and maps (a task's channel, a node's check parameters) by the size
// of their stored form. The table is in fieldlimits.cpp; README.md lists it.
class FieldLimits
{
    Q_DECLARE_TR_FUNCTIONS(FieldLimits)

public:
    enum Record { User, Group, Node, Task };

    // Checks each field of values that the table bounds for the record (the
    // others pass): refused, naming the field and its limit, at the first
    // one that is too long.
    static ZeltoStatus check(Record record, const QVariantMap &values);
    // The most characters of a text field; -1 when the table does not bound
    // it in characters.
    static int maxLength(Record record, const QString &field);
    // text cut to the field's limit, for texts the server writes itself
    // from what others sent it (the error of a polling run).
    static QString cut(Record record, const QString &field, const QString &text);
};
