#pragma once

#include "zeltostatus.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

class Database;

// The daily clean-up of the journal ("journalDayCount" days kept) and the
// compaction of the file that follows, on the server's connection in steps
// that each take a bounded time and run from the event loop, so that
// clients are served between them: the journal is deleted a range of row
// ids at a time, and the pages that frees are given back to the file
// system by PRAGMA incremental_vacuum a few at a time. On PostgreSQL the
// clean-up deletes old rows a step at a time and the space is left to
// PostgreSQL's own autovacuum: no compaction.
//
// A file made before incremental compaction (auto_vacuum NONE) cannot give
// pages back in steps; it is switched over by one whole VACUUM, which holds
// up every client while it runs, and only when free pages are more than a
// quarter of the file (kConvertFreeShare): until then its free pages are
// just reused by later writes. A new file is made incremental from the start.
//
// A step does not run while a backup copies the file (the compaction waits
// for the copy to end), nor inside a save that runs a check script. One at
// a time; main thread only.
class JournalCompaction : public QObject
{
    Q_OBJECT

public:
    // What one step may do: journal rows (a range of row ids) and pages freed.
    struct StepLimits
    {
        int rows = 5000;
        int pages = 256;
    };
    // A whole VACUUM switches a file to incremental compaction once free
    // pages exceed this share of its pages.
    static constexpr double kConvertFreeShare = 0.25;

    // Starts the clean-up of database: its steps follow from the event loop.
    // Refused while one runs or when the database is not open.
    static ZeltoResult<JournalCompaction *> start(Database &database);
    static ZeltoResult<JournalCompaction *> start(Database &database, const StepLimits &limits);
    static JournalCompaction *running();
    // Stops the running clean-up, if any, between two steps; what is done
    // stays done. finished is not emitted.
    static void abort();

signals:
    // Everything done, or the reason it stopped; the object goes afterwards.
    void finished(bool ok, const QString &error);

private:
    enum class Stage { Delete, Convert, Free, Checkpoint, Done };

    JournalCompaction(Database &database, const StepLimits &limits);
    ~JournalCompaction() override;
    void schedule();
    void step();
    // One step of the stage.
    ZeltoStatus deleteRows();
    ZeltoStatus deleteOldRows();   // PostgreSQL
    ZeltoStatus convert();
    ZeltoStatus freePages();
    ZeltoStatus checkpoint();
    // The first value of a one-row pragma.
    ZeltoResult<QVariant> pragma(const QString &statement);
    void finish(bool ok, const QString &error);

    QPointer<Database> m_database;   // a clean-up outliving its database stops at its next step
    StepLimits m_limits;
    Stage m_stage = Stage::Delete;
    QDateTime m_limit;       // the oldest time kept
    qint64 m_nextRowId = 0;  // the first row id not looked at yet
    qint64 m_lastRowId = 0;  // the newest row when the clean-up began
    bool m_scheduled = false;
    bool m_postgres = false;  // the database is PostgreSQL: old rows deleted, nothing compacted
};
