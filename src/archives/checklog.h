#pragma once

#include "commandcontext.h"

#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The check log: the findings of check scripts per node, with the time of
// the run (ctime) and the date of the archive row concerned (atime). A
// finding already logged is replaced and takes the newer ctime.
class CheckLog
{
    Q_DECLARE_TR_FUNCTIONS(CheckLog)

public:
    // Logs row of an Analizer's findings table ("atime", "archive",
    // "message") for the node, found at ctime.
    static bool insert(int nodeId, const QDateTime &ctime, const ZeltoTable &findings, int row);

    // The findings of a visible node with atime between the valid bounds,
    // ordered by atime, archive and message; every column of the log.
    static ZeltoTable read(int nodeId, const QDateTime &from, const QDateTime &to);
    // The distinct messages logged for one archive row of a visible node.
    static QStringList errors(int nodeId, const QString &archive, const QDateTime &atime);

    // Removes the node's findings and the row marks ("CHECK_ERR") of its
    // stored archives, for a visible node.
    static bool clear(int nodeId);

    // The same for a caller who must see the node.
    static ZeltoResult<ZeltoTable> read(const CommandContext &context, int nodeId, const QDateTime &from,
                                        const QDateTime &to);
    static ZeltoResult<QStringList> errors(const CommandContext &context, int nodeId, const QString &archive,
                                           const QDateTime &atime);
    static ZeltoStatus clear(const CommandContext &context, int nodeId);
};
