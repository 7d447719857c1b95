#include "sqlitefile.h"

#include <QUrl>

#include <sqlite3.h>

namespace {

int checkCancel(void *flag)
{
    return static_cast<const std::atomic_bool *>(flag)->load() ? 1 : 0;
}

} // namespace

SqliteFile::~SqliteFile()
{
    close();
}

bool SqliteFile::open(const QString &path, Mode mode)
{
    close();
    int flags = SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    QUrl uri = QUrl::fromLocalFile(path);
    switch (mode) {
    case ReadOnly:
        flags |= SQLITE_OPEN_READONLY;
        break;
    case Immutable:
        flags |= SQLITE_OPEN_READONLY;
        uri.setQuery(QStringLiteral("immutable=1"));
        break;
    case ReadWrite:
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        break;
    }
    const int code = sqlite3_open_v2(uri.toString(QUrl::FullyEncoded).toUtf8().constData(), &m_db, flags, nullptr);
    if (code != SQLITE_OK) {
        fail();
        m_errorText = path + QStringLiteral(": ") + m_errorText;
        close();
        return false;
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, 5000);
    return true;
}

void SqliteFile::close()
{
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

bool SqliteFile::fail()
{
    m_errorCode = m_db ? sqlite3_errcode(m_db) : SQLITE_NOMEM;
    m_errorText = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(m_errorCode));
    return false;
}

bool SqliteFile::exec(const QString &statement)
{
    m_errorCode = 0;
    m_errorText.clear();
    if (!m_db)
        return fail();
    if (sqlite3_exec(m_db, statement.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail();
    return true;
}

QVariant SqliteFile::scalar(const QString &statement, const QString &bind)
{
    m_errorCode = 0;
    m_errorText.clear();
    if (!m_db) {
        fail();
        return QVariant();
    }
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(m_db, statement.toUtf8().constData(), -1, &query, nullptr) != SQLITE_OK) {
        fail();
        return QVariant();
    }
    const QByteArray bound = bind.toUtf8();
    if (sqlite3_bind_parameter_count(query) > 0)
        sqlite3_bind_text(query, 1, bound.constData(), bound.size(), SQLITE_TRANSIENT);
    QVariant value;
    const int code = sqlite3_step(query);
    if (code == SQLITE_ROW) {
        switch (sqlite3_column_type(query, 0)) {
        case SQLITE_INTEGER:
            value = qlonglong(sqlite3_column_int64(query, 0));
            break;
        case SQLITE_FLOAT:
            value = sqlite3_column_double(query, 0);
            break;
        case SQLITE_TEXT:
            value = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(query, 0)),
                                      sqlite3_column_bytes(query, 0));
            break;
        case SQLITE_BLOB:
            value = QByteArray(static_cast<const char *>(sqlite3_column_blob(query, 0)),
                               sqlite3_column_bytes(query, 0));
            break;
        default:
            value = QVariant(QVariant::String);   // NULL: valid, but null
            break;
        }
    } else if (code != SQLITE_DONE) {
        fail();
    }
    sqlite3_finalize(query);
    return value;
}

void SqliteFile::setCancelFlag(const std::atomic_bool *cancel)
{
    if (m_db)
        sqlite3_progress_handler(m_db, cancel ? 1000 : 0, cancel ? checkCancel : nullptr,
                                 const_cast<std::atomic_bool *>(cancel));
}
