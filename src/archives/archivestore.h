#pragma once

#include "commandcontext.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class Database;
class StoredDataReader;

// The node archives kept in nodes_data: merging newly read data into them
// (with the node's own fields, device settings and device journal, the fill
// statistics and the check log, all in one transaction), reading them back
// over a time range, and clearing them. Main thread only, like the database,
// except where said.
class ArchiveStore
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveStore)

public:
    // Saves everything of tables for the node named by the "id" of
    // tables["info"]: the node row, "setting_data", "journal_data" and the
    // archives. The archive tables are changed in place: afterwards each holds
    // the merged archive as stored from its earliest new date on (a save
    // decodes no more of a long archive than that), rows flagged by the check
    // script marked "CHECK_ERR". check runs the clock checks on current data and the
    // node's check script. On failure nothing of the call is stored (unless
    // an enclosing transaction commits what came before); failures after
    // the input was accepted are journalled in the caller's name. A note,
    // when given, is journalled (INFO, about the node) with the save, in its
    // transaction: one commit a save.
    static ZeltoStatus save(const CommandContext &context, ZeltoTableMap &tables, bool check,
                            const QString &note = QString());

    // The rows of a stored archive with "date" between from and to, both
    // inclusive. Null bounds are set to the first and last stored date. An
    // empty table for nodes the user cannot see, archives never stored and
    // names that are not archives.
    static ZeltoResult<ZeltoTable> archiveRange(const CommandContext &context, int nodeId, const QString &archive,
                                                QDateTime &from, QDateTime &to);
    // archiveRange for a reply that carries tables in stream form: when the
    // range covers the whole stored archive and the archive is kept in the
    // current format and in date order, its stored bytes as they are (a
    // ZeltoEncodedTable); otherwise the table archiveRange gives.
    static ZeltoResult<QVariant> archiveRangeEncoded(const CommandContext &context, int nodeId, const QString &archive,
                                                     QDateTime &from, QDateTime &to);
    // The whole stored archive of a node, whoever asks (an empty table when
    // it has none); an unknown archive is refused, one that is not a table
    // is a storage failure. Read through the server's Database, or a worker's
    // own connection: these two, and storedRange, are safe on any thread.
    static ZeltoResult<ZeltoTable> stored(StoredDataReader &reader, int nodeId, const QString &archive);
    // stored() of the rows from..to (both inclusive) only, decoding no others
    // where the stored form allows.
    static ZeltoResult<ZeltoTable> stored(StoredDataReader &reader, int nodeId, const QString &archive,
                                          const QDateTime &from, const QDateTime &to);
    // The newest row of a stored archive: a table of the archive's columns and
    // that row alone (empty when it has none), decoding no other row where the
    // stored form allows.
    static ZeltoResult<ZeltoTable> newestStored(StoredDataReader &reader, int nodeId, const QString &archive);
    // The device settings of the last save: columns name and value.
    static ZeltoResult<ZeltoTable> settingData(const CommandContext &context, int nodeId);
    // The device journal between the valid bounds, by ctime.
    static ZeltoResult<ZeltoTable> journalData(const CommandContext &context, int nodeId, const QDateTime &from,
                                               const QDateTime &to);
    // The fill entries of the node's archives, by archive name.
    static ZeltoResult<QVariantMap> fillData(const CommandContext &context, int nodeId);

    // Empties everything a save stores for a visible node; the node itself,
    // its tasks and its check parameters stay.
    static ZeltoStatus clearArchives(const CommandContext &context, int nodeId);

    // Whether saves may change a stored archive in its encoded form and range
    // reads decode only the rows asked for (on unless ORVEX_ARCHIVE_SPLICE=0);
    // off, both decode the whole archive. The results are the same.
    static void setSplicing(bool on);
    static bool isSplicing();

    // The rows dated from..to of an archive given as the node's row holds it
    // (bytes read by the caller, as Database::storedRows hands them): what
    // stored() gives for that range.
    static ZeltoResult<ZeltoTable> storedRange(int nodeId, const QString &archive, const QVariant &bytes,
                                               const QDateTime &from, const QDateTime &to);

    // The archive columns of nodes_data, in storing order.
    static const QStringList &archiveNames();
    // The archives the check script looks at.
    static const QStringList &checkedArchives();

private:
    // Merges tables[archive] into the node's stored archive (bytes, as the
    // row holds it) by "date", keeps it sorted by date (and current data cut
    // to "currentDataCount" rows), writes it back, puts the stored rows from
    // the earliest new date on into tables[archive] and, except for current
    // data, the archive's fill entry into fill. With checkCurrent, current
    // data must pass the clock checks first. With pending, the merged archive
    // is put there (by column) instead of being written at once.
    static ZeltoStatus merge(const CommandContext &context, int nodeId, const QString &archive, const QVariant &bytes,
                             ZeltoTableMap &tables, QVariantMap &fill, bool checkCurrent, QVariantMap *pending);
    static bool splice(const QString &archive, const QVariant &bytes, const ZeltoTable &incoming, QByteArray &merged,
                       ZeltoTable &tail, QVariantMap &fillEntry);
    // The archive column as stored, not decoded; a name that is not an
    // archive is refused.
    static ZeltoResult<QVariant> storedBytes(StoredDataReader &reader, int nodeId, const QString &archive);
    static ZeltoResult<QVariant> range(const CommandContext &context, int nodeId, const QString &archive,
                                       QDateTime &from, QDateTime &to, bool encoded);
    // rows: a ZeltoTable, or with encoded and a range of every row, the
    // bytes as a ZeltoEncodedTable.
    static bool readRange(const QVariant &bytes, QDateTime &from, QDateTime &to, bool encoded, QVariant &rows);
    static ZeltoResult<ZeltoTable> decodeStored(int nodeId, const QString &archive, const QVariant &bytes);
};
