#pragma once

#include "commandcontext.h"

#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>

class Database;

// The check log: the findings of check scripts per node, with the time of
// the run (ctime) and the date of the archive row concerned (atime). A
// finding already logged is replaced and takes the newer ctime.
class CheckLog
{
    Q_DECLARE_TR_FUNCTIONS(CheckLog)

public:
    // Logs row of an Analizer's findings table ("atime", "archive",
    // "message") for the node, found at ctime.
    static ZeltoStatus insert(Database &database, int nodeId, const QDateTime &ctime, const ZeltoTable &findings,
                              int row);

    // The findings of a node the caller sees with atime between the valid
    // bounds, ordered by atime, archive and message; every column of the log.
    static ZeltoResult<ZeltoTable> read(const CommandContext &context, int nodeId, const QDateTime &from,
                                        const QDateTime &to);
    // The distinct messages logged for one archive row of a node the caller sees.
    static ZeltoResult<QStringList> errors(const CommandContext &context, int nodeId, const QString &archive,
                                           const QDateTime &atime);
    // Removes the node's findings and the row marks ("CHECK_ERR") of its
    // stored archives; the caller must see the node.
    static ZeltoStatus clear(const CommandContext &context, int nodeId);
};
