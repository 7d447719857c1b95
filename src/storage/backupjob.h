#pragma once

#include "backupfolder.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>

#include <atomic>

// One backup copy, made on a thread of its own so that the server's clients
// never wait for it. It reads the live database on a second connection
// inside one read transaction, which with the write-ahead log keeps a
// consistent picture of the file while the server goes on writing; writes
// it under the temporary name in steps, flushing as it goes so that the
// server's own writes do not queue behind a long write-back; checks it,
// gives it its name, syncs the folder and only then rotates the older
// copies. Whatever breaks before the name is given, only the temporary
// file is lost, and it is removed.
class BackupJob : public QThread
{
    Q_OBJECT

public:
    BackupJob(const QString &source, const BackupFolder &folder, const QString &copyName, int count,
              QObject *parent = nullptr);

    // From any thread: the job stops at its next step and removes its file.
    void cancel() { m_cancel = true; }

    // Read after the thread has finished.
    bool succeeded() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString rotationError() const { return m_rotationError; }

protected:
    void run() override;

private:
    bool copyInto(const QString &part);
    bool seal(const QString &part);
    bool place(const QString &part);
    bool fail(const QString &reason);
    bool cancelled();
    void removePart(const QString &part) const;

    const QString m_source;
    const BackupFolder m_folder;
    const QString m_copyName;
    const int m_count;
    const int m_pauseMs;   // between steps
    std::atomic_bool m_cancel{false};
    int m_sourceVersion = -1;
    QString m_error;
    QString m_rotationError;
};
