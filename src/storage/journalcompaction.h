#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

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

    // Starts the clean-up: its steps follow from the event loop. Null with
    // the reason in the error channel while one runs or when no database is open.
    static JournalCompaction *start();
    static JournalCompaction *start(const StepLimits &limits);
    static JournalCompaction *running();
    // Stops the running clean-up, if any, between two steps; what is done
    // stays done. finished is not emitted.
    static void abort();

signals:
    // Everything done, or the reason it stopped; the object goes afterwards.
    void finished(bool ok, const QString &error);

private:
    enum class Stage { Delete, Convert, Free, Checkpoint, Done };

    explicit JournalCompaction(const StepLimits &limits);
    ~JournalCompaction() override;
    void schedule();
    void step();
    // One step of the stage; false when the stage failed.
    bool deleteRows();
    bool deleteOldRows();   // PostgreSQL
    bool convert();
    bool freePages();
    bool checkpoint();
    void finish(bool ok, const QString &error);

    StepLimits m_limits;
    Stage m_stage = Stage::Delete;
    QDateTime m_limit;       // the oldest time kept
    qint64 m_nextRowId = 0;  // the first row id not looked at yet
    qint64 m_lastRowId = 0;  // the newest row when the clean-up began
    bool m_scheduled = false;
};
