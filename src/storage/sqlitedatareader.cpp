#include "sqlitedatareader.h"

#include "sqliterows.h"

#include <QCoreApplication>
#include <QFile>

#include <sqlite3.h>

#include <sys/stat.h>

namespace {

// The device and inode of path; false when it cannot be read.
bool fileIdentity(const QString &path, quint64 &device, quint64 &inode)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    device = quint64(status.st_dev);
    inode = quint64(status.st_ino);
    return true;
}

// The most of the file mapped into memory (address space, not memory; SQLite caps it at its build's limit).
const qint64 kMapBytes = qint64(1) << 36;

} // namespace

ZeltoStatus SqliteDataReader::cancelledStatus(const QString &table)
{
    return ZeltoStatus::storage(failurePrefix(table) + tr("Чтение прервано"));
}

SqliteDataReader::~SqliteDataReader()
{
    for (sqlite3_stmt *statement : qAsConst(m_statements))
        sqlite3_finalize(statement);
}

bool SqliteDataReader::open(const QString &path)
{
    for (sqlite3_stmt *statement : qAsConst(m_statements))
        sqlite3_finalize(statement);
    m_statements.clear();
    m_path.clear();
    if (!fileIdentity(path, m_device, m_inode) || !m_file.open(path, SqliteFile::ReadOnly))
        return false;
    m_path = path;
    // A new connection's page cache is empty: the file's pages read where the
    // system holds them, not copied into it (most of what a worker reads is
    // read once). Read-only: nothing is written through the map.
    m_file.exec(QStringLiteral("PRAGMA mmap_size = %1").arg(kMapBytes));
    setCancelFlag(m_cancel);
    return true;
}

bool SqliteDataReader::readsFile(const QString &path) const
{
    quint64 device = 0, inode = 0;
    return m_file.isOpen() && path == m_path && fileIdentity(path, device, inode) && device == m_device
           && inode == m_inode;
}

void SqliteDataReader::setCancelFlag(const std::atomic_bool *cancel)
{
    m_cancel = cancel;
    m_file.setCancelFlag(cancel);
}

sqlite3_stmt *SqliteDataReader::statement(const QString &text, ZeltoStatus &status, bool &own)
{
    own = false;
    const auto found = m_statements.constFind(text);
    // One in use (a caller's own nested read of the same text) is not reset under it: a statement used once.
    if (found != m_statements.constEnd() && !sqlite3_stmt_busy(found.value()))
        return found.value();
    if (!m_file.isOpen()) {
        status = ZeltoStatus(ZeltoStatus::Storage, tr("БД не открыта"));
        return nullptr;
    }
    sqlite3_stmt *prepared = nullptr;
    const QByteArray utf8 = text.toUtf8();
    if (sqlite3_prepare_v3(m_file.handle(), utf8.constData(), utf8.size(), SQLITE_PREPARE_PERSISTENT, &prepared,
                           nullptr)
        != SQLITE_OK) {
        status = SqliteRows::failure(m_file.handle());
        sqlite3_finalize(prepared);
        return nullptr;
    }
    if (found != m_statements.constEnd()) {
        own = true;
        return prepared;
    }
    // The texts come from the callers' own names, not from clients; bounded all the same.
    if (m_statements.size() >= 64) {
        for (auto it = m_statements.begin(); it != m_statements.end();) {
            if (sqlite3_stmt_busy(it.value())) {
                ++it;
                continue;
            }
            sqlite3_finalize(it.value());
            it = m_statements.erase(it);
        }
    }
    m_statements.insert(text, prepared);
    return prepared;
}

ZeltoResult<QVariant> SqliteDataReader::storedData(const QString &table, int id, const QString &column)
{
    if (cancelled())
        return cancelledStatus(table);
    ZeltoStatus status;
    bool own = false;
    sqlite3_stmt *query
        = statement(QStringLiteral("SELECT %2 FROM %1_data WHERE id = ?").arg(table, column), status, own);
    if (!query)
        return ZeltoStatus(status.kind(), failurePrefix(table) + status.message());
    sqlite3_bind_int(query, 1, id);
    bool found = false;
    QVariant value;
    const ZeltoStatus read = SqliteRows::each(query, [&](const QVector<QVariant> &cells) {
        found = true;
        value = cells.value(0);
        // Copied: the bytes SQLite lends go with the next step.
        if (value.userType() == QMetaType::QByteArray) {
            const QByteArray lent = value.toByteArray();
            value = QVariant(QByteArray(lent.constData(), lent.size()));
        }
    });
    if (own)
        sqlite3_finalize(query);
    if (!read.ok())
        return ZeltoStatus(read.kind(), failurePrefix(table) + read.message());
    if (!found)
        return ZeltoStatus::notFound(failurePrefix(table));
    return value;
}

ZeltoStatus SqliteDataReader::storedRows(const QString &table, const QList<int> &ids, const QStringList &columns,
                                         const std::function<void(int id, const QVector<QVariant> &values)> &each)
{
    const QString text = storedRowsText(table, columns);
    QVector<QVariant> values(columns.size());
    for (int first = 0; first < ids.size(); first += kIdsPerStatement) {
        if (cancelled())
            return cancelledStatus(table);
        ZeltoStatus status;
        bool own = false;
        sqlite3_stmt *query = statement(text, status, own);
        if (!query)
            return ZeltoStatus(status.kind(), failurePrefix(table) + status.message());
        for (int i = 0; i < kIdsPerStatement; ++i)
            sqlite3_bind_int(query, i + 1, boundId(ids, first, i));
        const ZeltoStatus read
            = SqliteRows::each(query, [&](const QVector<QVariant> &cells) { handOn(cells, values, each); });
        if (own)
            sqlite3_finalize(query);
        values.fill(QVariant());
        if (!read.ok())
            return ZeltoStatus(read.kind(), failurePrefix(table) + read.message());
    }
    return ZeltoStatus();
}
