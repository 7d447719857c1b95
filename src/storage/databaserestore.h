#pragma once

#include "databasefilecheck.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

// Puts a backup copy in the place of the live database file of a stopped
// server. The copy is checked first; it is copied beside the live file under
// a temporary name and flushed; the live file, with any journal of its own,
// is kept aside under a dated name; then the copy is renamed into place and
// the folder synced. A failure at any point leaves the live file as it was.
class DatabaseRestore
{
    Q_DECLARE_TR_FUNCTIONS(DatabaseRestore)

public:
    // False with the reason in error(); now names the kept live file.
    bool restore(const QString &copy, const QString &live, const QDateTime &now);

    DatabaseFileCheck check() const { return m_check; }
    QString keptAs() const { return m_keptAs; }   // where the live file went; empty when there was none
    QString error() const { return m_error; }

    // The live file's companions that belong with it wherever it goes.
    static const QStringList &journalSuffixes();

private:
    bool fail(const QString &reason);
    // Renames the live file and its journals to `to`; undoes what it did on failure.
    bool moveLiveSet(const QString &from, const QString &to);

    DatabaseFileCheck m_check;
    QString m_keptAs;
    QString m_error;
};
