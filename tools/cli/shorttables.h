#pragma once

#include "zeltotable.h"

#include <QString>

// The columns a wide table of a command shows on a terminal unless every
// column is asked for (--all): the node list has 64 columns, the task list
// 28, far wider than a screen.
class ShortTables
{
public:
    // The table with only the command's usual columns (those of them it
    // has, in their order); the table as it is for other commands, or when
    // it has none of them. hidden receives how many columns were left out.
    static ZeltoTable narrowed(const QString &command, const ZeltoTable &table, int &hidden);
};
