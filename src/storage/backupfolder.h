#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The backup folder and the names in it. A copy is named by the local time
// it was made, "yyMMdd_hhmmss.db"; it is written as that name followed by
// ".part" and takes its name only once it is whole and checked, so a file
// with a copy's name is a complete copy. Other files in the folder are not
// ours: they are never counted, rotated or removed.
class BackupFolder
{
    Q_DECLARE_TR_FUNCTIONS(BackupFolder)

public:
    explicit BackupFolder(const QString &path) : m_path(path) {}

    QString path() const { return m_path; }
    QString filePath(const QString &name) const;

    static QString copyName(const QDateTime &time);
    static bool isCopyName(const QString &name);
    static QDateTime copyTime(const QString &name);   // invalid for other names
    static QString partName(const QString &copyName);
    static bool isLeftoverName(const QString &name);   // a temporary file or a journal of an unfinished copy

    // Complete copies, newest first.
    QStringList copies() const;

    // Clears what unfinished copies left behind: temporary files and their
    // journals, and copies with a journal beside them (earlier releases wrote
    // in place). Such a copy is first rolled back by SQLite, which gives back
    // the copy it was writing over, if any; when that is not a whole
    // database it goes too. Returns the names removed.
    QStringList removeLeftovers() const;

    // Removes the oldest copies until `count` (at least 1) are left, never
    // `keep`; false with *error at the first that cannot be removed.
    bool rotate(int count, const QString &keep, QString *error) const;

    // Makes renames and removals in the folder durable.
    bool sync() const;

private:
    QString m_path;
};
