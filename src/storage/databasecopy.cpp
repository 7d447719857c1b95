#include "databasecopy.h"

#include "database.h"
#include "postgresschema.h"
#include "schema.h"
#include "zeltostream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

const QString SourceConnection = QStringLiteral("orvex-copy-source");
const QString TargetConnection = QStringLiteral("orvex-copy-target");

// The stored value format's tags of the plain values a BLOB column may hold in SQLite.
const char TagInt = 0x02;
const char TagUInt = 0x03;
const char TagDouble = 0x06;
const char TagString = 0x07;

bool isPostgres(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL");
}

// The columns that order a table's rows the same way in both databases: a
// unique key, or every column of the journal, which has none.
QStringList keyOf(const QString &table)
{
    if (table == QLatin1String("user_groups"))
        return {QStringLiteral("user_id"), QStringLiteral("group_id")};
    if (table == QLatin1String("setting_data"))
        return {QStringLiteral("node_id"), QStringLiteral("name")};
    if (table == QLatin1String("journal_data"))
        return {QStringLiteral("node_id"), QStringLiteral("ctime"), QStringLiteral("param"),
                QStringLiteral("old_value"), QStringLiteral("new_value")};
    if (table == QLatin1String("check_log"))
        return {QStringLiteral("node_id"), QStringLiteral("atime"), QStringLiteral("archive"),
                QStringLiteral("message")};
    if (table == QLatin1String("journal"))
        return {QStringLiteral("ctime"),   QStringLiteral("user_id"), QStringLiteral("group_id"),
                QStringLiteral("node_id"), QStringLiteral("task_id"), QStringLiteral("level"),
                QStringLiteral("message")};
    if (table == QLatin1String("settings"))
        return {QStringLiteral("name")};
    return {QStringLiteral("id")};
}

// The column of a table's insertion order, for the tables whose order is read back.
QString orderColumn(const QSqlDatabase &db, const QString &table)
{
    if (table != QLatin1String("setting_data"))
        return QString();
    return SqlDialect(isPostgres(db) ? SqlDialect::PostgreSQL : SqlDialect::SQLite).insertionOrder();
}

// ORDER BY of the key: text in byte order and nulls first in both databases.
QString orderBy(const QSqlDatabase &db, const QString &table, const QSqlRecord &columns)
{
    QStringList terms;
    for (const QString &column : keyOf(table)) {
        QString term = column;
        if (isPostgres(db)) {
            if (columns.field(column).type() == QVariant::String)
                term += QStringLiteral(" COLLATE \"C\"");
            term += QStringLiteral(" NULLS FIRST");
        }
        terms << term;
    }
    return terms.join(QStringLiteral(", "));
}

// A plain value SQLite holds in a BLOB column, as PostgreSQL's BYTEA holds it.
bool toStream(const QVariant &value, QByteArray *bytes)
{
    QVariant plain;
    switch (value.userType()) {
    case QMetaType::QString:
        plain = value;
        break;
    case QMetaType::Double:
        plain = value;
        break;
    default: {
        bool ok = false;
        const qlonglong number = value.toLongLong(&ok);
        if (!ok)
            return false;
        if (number >= INT_MIN && number <= INT_MAX)
            plain = QVariant(int(number));
        else if (number >= 0 && number <= qlonglong(UINT_MAX))
            plain = QVariant(uint(number));
        else
            return false;
    }
    }
    bytes->clear();
    ZeltoStream stream(bytes, QIODevice::WriteOnly);
    stream.init();
    stream << plain;
    return stream.status() == ZeltoStream::Ok;
}

// The plain value such a stream holds; an invalid variant for any other bytes.
QVariant fromStream(const QByteArray &bytes)
{
    if (bytes.size() < 2)
        return QVariant();
    const int tagAt = bytes.at(0) == 2 ? 5 : 1;
    if (bytes.size() <= tagAt)
        return QVariant();
    const char tag = bytes.at(tagAt);
    if (tag != TagInt && tag != TagUInt && tag != TagDouble && tag != TagString)
        return QVariant();
    ZeltoStream stream(bytes);
    QVariant value;
    if (!stream.init())
        return QVariant();
    stream >> value;
    if (stream.status() != ZeltoStream::Ok || !stream.atEnd())
        return QVariant();
    if (value.userType() == QMetaType::Int || value.userType() == QMetaType::UInt)
        return QVariant(value.toLongLong());
    return value;
}

// A value as compared: its kind and its bytes, so 5 and "5" and 5.0 differ.
QByteArray comparable(const QVariant &value)
{
    if (value.isNull())
        return QByteArrayLiteral("null");
    switch (value.userType()) {
    case QMetaType::QByteArray:
        return QByteArrayLiteral("b:") + value.toByteArray();
    case QMetaType::QString:
        return QByteArrayLiteral("t:") + value.toString().toUtf8();
    case QMetaType::Double:
        return QByteArrayLiteral("d:") + QByteArray::number(value.toDouble(), 'g', 17);
    default:
        return QByteArrayLiteral("i:") + QByteArray::number(value.toLongLong());
    }
}

// A value as a person reads it in a message.
QString shown(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("NULL");
    switch (value.userType()) {
    case QMetaType::QByteArray:
        return DatabaseCopy::tr("%1 байт").arg(value.toByteArray().size());
    case QMetaType::QString:
        return DatabaseCopy::tr("текст «%1»").arg(value.toString().left(80));
    case QMetaType::Double:
        return DatabaseCopy::tr("дробное %1").arg(value.toDouble(), 0, 'g', 17);
    default:
        return DatabaseCopy::tr("целое %1").arg(value.toLongLong());
    }
}

} // namespace

DatabaseCopy::DatabaseCopy(const DatabaseSettings &source, const DatabaseSettings &target)
    : m_sourceSettings(source), m_targetSettings(target)
{
}

DatabaseCopy::~DatabaseCopy()
{
    close();
}

bool DatabaseCopy::fail(const QString &text)
{
    if (m_error.isEmpty())
        m_error = text;
    // At once, while the failed statement is still prepared: PostgreSQL lets it go only outside the aborted
    // transaction.
    if (m_writing) {
        m_writing = false;
        m_target.rollback();
    }
    return false;
}

void DatabaseCopy::close()
{
    if (m_source.isValid()) {
        m_source.rollback();
        m_source.close();
    }
    if (m_target.isValid())
        m_target.close();
    m_source = QSqlDatabase();
    m_target = QSqlDatabase();
    QSqlDatabase::removeDatabase(SourceConnection);
    QSqlDatabase::removeDatabase(TargetConnection);
}

bool DatabaseCopy::openSource()
{
    const QString where = m_sourceSettings.describe();
    if (!m_sourceSettings.isPostgreSQL()) {
        // Opening a missing file would make an empty one.
        if (QFileInfo(m_sourceSettings.databaseName()).size() <= 0)
            return fail(tr("БД-источник %1 не найдена или пуста").arg(QDir::toNativeSeparators(where)));
    }
    m_source = m_sourceSettings.open(SourceConnection);
    if (!m_source.isOpen())
        return fail(tr("Не удалось открыть БД-источник %1: %2").arg(where, m_source.lastError().text()));
    // One snapshot for the copy and its check; the source is never written.
    if (!m_source.transaction())
        return fail(tr("БД-источник %1: %2").arg(where, m_source.lastError().text()));
    QSqlQuery query(m_source);
    if (isPostgres(m_source)
        && !query.exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")))
        return fail(tr("БД-источник %1: %2").arg(where, query.lastError().text()));
    const bool postgres = isPostgres(m_source);
    if (!query.exec(postgres ? PostgresSchema::countTables() : QLatin1String(Schema::CountTables)) || !query.next())
        return fail(tr("БД-источник %1: %2").arg(where, query.lastError().text()));
    if (query.value(0).toInt() == 0)
        return fail(tr("БД-источник %1 пуста: копировать нечего").arg(where));
    if (!query.exec(postgres ? PostgresSchema::readVersion() : QLatin1String(Schema::ReadUserVersion)) || !query.next())
        return fail(tr("БД-источник %1: версия схемы не читается: %2").arg(where, query.lastError().text()));
    m_version = query.value(0).toInt();
    if (m_version != Database::supportedVersion())
        return fail(tr("Версия схемы БД-источника %1 (%2) не совпадает с версией этого сервера (%3): запустите на "
                       "ней сервер этой версии, чтобы обновить схему, и повторите копирование")
                        .arg(where)
                        .arg(m_version)
                        .arg(Database::supportedVersion()));
    return true;
}

bool DatabaseCopy::openTarget()
{
    const QString where = m_targetSettings.describe();
    if (!m_targetSettings.isPostgreSQL()) {
        const QFileInfo file(m_targetSettings.databaseName());
        if (file.exists() && !file.isFile())
            return fail(tr("БД-приёмник %1 не является файлом").arg(QDir::toNativeSeparators(where)));
        if (file.size() > 0) {
            QFile header(file.filePath());
            static const QByteArray sqlite("SQLite format 3", 16);
            if (!header.open(QIODevice::ReadOnly) || header.read(sqlite.size()) != sqlite)
                return fail(tr("Файл %1 не является базой данных SQLite").arg(QDir::toNativeSeparators(where)));
        }
        m_targetFileMade = !file.exists();
    }
    m_target = m_targetSettings.open(TargetConnection);
    if (!m_target.isOpen())
        return fail(tr("Не удалось открыть БД-приёмник %1: %2").arg(where, m_target.lastError().text()));
    QSqlQuery query(m_target);
    if (!query.exec(isPostgres(m_target) ? PostgresSchema::countTables() : QLatin1String(Schema::CountTables))
        || !query.next())
        return fail(tr("БД-приёмник %1: %2").arg(where, query.lastError().text()));
    if (query.value(0).toInt() != 0)
        return fail(tr("БД-приёмник %1 не пуста (таблиц: %2): копирование выполняется только в пустую БД")
                        .arg(where)
                        .arg(query.value(0).toInt()));
    return true;
}

bool DatabaseCopy::createSchema()
{
    const QStringList statements = isPostgres(m_target)
        ? PostgresSchema::statements(m_version)
        : Schema::currentSchema() << QLatin1String(Schema::WriteUserVersion) + QString::number(m_version);
    QSqlQuery query(m_target);
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            return fail(tr("Схема БД-приёмника не создана: %1").arg(query.lastError().text()));
    }
    // Rows go in as they are: no trigger may add or refuse any while they do.
    if (!setTriggers(false))
        return false;
    // Nor may the rows the schema made (the administrator, the common group) stand in the way.
    const QStringList tables = Schema::tableNames();
    for (auto table = tables.crbegin(); table != tables.crend(); ++table) {
        if (!query.exec(QStringLiteral("DELETE FROM %1").arg(*table)))
            return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
    }
    return true;
}

bool DatabaseCopy::setTriggers(bool enabled)
{
    QSqlQuery query(m_target);
    if (isPostgres(m_target)) {
        // The constraints' own triggers (foreign keys) stay on.
        for (const QString &table : Schema::tableNames()) {
            if (!query.exec(QStringLiteral("ALTER TABLE %1 %2 TRIGGER USER")
                                .arg(table, enabled ? QStringLiteral("ENABLE") : QStringLiteral("DISABLE"))))
                return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
        }
        return true;
    }
    // SQLite cannot switch a trigger off: they are dropped and made again from their own texts.
    if (!enabled) {
        if (!query.exec(QStringLiteral("SELECT name, sql FROM sqlite_master WHERE type = 'trigger' ORDER BY rowid")))
            return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
        QStringList names;
        while (query.next()) {
            names << query.value(0).toString();
            m_triggers << query.value(1).toString();
        }
        for (const QString &name : qAsConst(names)) {
            if (!query.exec(QStringLiteral("DROP TRIGGER %1").arg(name)))
                return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
        }
        return true;
    }
    for (const QString &statement : qAsConst(m_triggers)) {
        if (!query.exec(statement))
            return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
    }
    return true;
}

DatabaseCopy::Columns DatabaseCopy::columnsOf(const QString &table, const QSqlRecord &targetRecord) const
{
    const QString sourceOrder = orderColumn(m_source, table);
    const QString targetOrder = orderColumn(m_target, table);
    Columns columns;
    for (int i = 0; i < targetRecord.count(); ++i) {
        const QString name = targetRecord.fieldName(i);
        if (name == targetOrder)
            continue;
        columns.data << name;
        columns.blob << (targetRecord.field(i).type() == QVariant::ByteArray);
    }
    columns.source = columns.data;
    columns.target = columns.data;
    if (!sourceOrder.isEmpty()) {
        columns.source << sourceOrder;
        columns.target << targetOrder;
    }
    return columns;
}

bool DatabaseCopy::copyTable(const QString &table)
{
    const Columns described = columnsOf(table, m_target.record(table));
    const QStringList &columns = described.data;
    const QVector<bool> &blob = described.blob;
    const QStringList &selected = described.source;
    const QStringList &inserted = described.target;
    // A group's parent may come after it: parents are set once every group is there.
    const int parentColumn = table == QLatin1String("groups") ? columns.indexOf(QStringLiteral("parent_id")) : -1;

    QSqlQuery insert(m_target);
    QStringList marks;
    for (int i = 0; i < inserted.size(); ++i)
        marks << QStringLiteral("?");
    if (!insert.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                            .arg(table, inserted.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")))))
        return fail(tr("Таблица %1 БД-приёмника: %2").arg(table, insert.lastError().text()));

    QSqlQuery rows(m_source);
    rows.setForwardOnly(true);
    // In the order the rows were written where the source keeps it (SQLite's rowid), else as PostgreSQL stores
    // them, which for a table that was copied there is the order they came in.
    const QString copyOrder = isPostgres(m_source) ? QString() : QStringLiteral(" ORDER BY rowid");
    if (!rows.exec(QStringLiteral("SELECT %1 FROM %2%3").arg(selected.join(QStringLiteral(", ")), table, copyOrder)))
        return fail(tr("Таблица %1 БД-источника: %2").arg(table, rows.lastError().text()));
    const bool toPostgres = isPostgres(m_target);
    const bool fromPostgres = isPostgres(m_source);
    qint64 count = 0;
    while (rows.next()) {
        ++count;
        for (int i = 0; i < selected.size(); ++i) {
            QVariant value = rows.value(i);
            if (i < columns.size() && blob.at(i) && !value.isNull()) {
                if (toPostgres && value.userType() != QMetaType::QByteArray) {
                    QByteArray bytes;
                    if (!toStream(value, &bytes))
                        return fail(tr("Таблица %1, строка %2: значение %3 столбца %4 не переносится в BYTEA")
                                        .arg(table)
                                        .arg(count)
                                        .arg(shown(value), columns.at(i)));
                    value = bytes;
                } else if (!toPostgres && fromPostgres) {
                    const QVariant plain = fromStream(value.toByteArray());
                    if (plain.isValid())
                        value = plain;
                }
            }
            if (i == parentColumn)
                value = QVariant(QVariant::Int);
            insert.bindValue(i, value);
        }
        if (!insert.exec())
            return fail(tr("Таблица %1, строка %2 не записана в БД-приёмник: %3")
                            .arg(table)
                            .arg(count)
                            .arg(insert.lastError().text()));
    }
    if (rows.lastError().isValid())
        return fail(tr("Таблица %1 БД-источника: %2").arg(table, rows.lastError().text()));
    return parentColumn < 0 || copyGroupParents();
}

bool DatabaseCopy::copyGroupParents()
{
    QSqlQuery update(m_target);
    if (!update.prepare(QStringLiteral("UPDATE groups SET parent_id = ? WHERE id = ?")))
        return fail(tr("Таблица groups БД-приёмника: %1").arg(update.lastError().text()));
    QSqlQuery rows(m_source);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT parent_id, id FROM groups WHERE parent_id IS NOT NULL")))
        return fail(tr("Таблица groups БД-источника: %1").arg(rows.lastError().text()));
    while (rows.next()) {
        update.bindValue(0, rows.value(0));
        update.bindValue(1, rows.value(1));
        if (!update.exec())
            return fail(tr("Таблица groups, группа %1 не записана в БД-приёмник: %2")
                            .arg(rows.value(1).toString(), update.lastError().text()));
    }
    return true;
}

bool DatabaseCopy::continueSequences()
{
    if (!isPostgres(m_target))
        return true;   // SQLite's rowid continues after the largest on its own
    QSqlQuery query(m_target);
    if (!query.exec(QStringLiteral("SELECT setval(pg_get_serial_sequence('setting_data', 'seq'), "
                                   "coalesce(max(seq), 0) + 1, false) FROM setting_data")))
        return fail(tr("БД-приёмник: %1").arg(query.lastError().text()));
    return true;
}

bool DatabaseCopy::checkTable(const QString &table, TableCount *count)
{
    // Both sides read anew, in the same key order, and compared value for value.
    const QSqlRecord targetRecord = m_target.record(table);
    const Columns described = columnsOf(table, targetRecord);
    const QStringList &columns = described.data;
    const QVector<bool> &blob = described.blob;
    const QStringList &sourceColumns = described.source;
    const QStringList &targetColumns = described.target;
    QSqlQuery source(m_source);
    source.setForwardOnly(true);
    if (!source.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY %3")
                         .arg(sourceColumns.join(QStringLiteral(", ")), table,
                              orderBy(m_source, table, m_source.record(table)))))
        return fail(tr("Таблица %1 БД-источника: %2").arg(table, source.lastError().text()));
    QSqlQuery target(m_target);
    target.setForwardOnly(true);
    if (!target.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY %3")
                         .arg(targetColumns.join(QStringLiteral(", ")), table, orderBy(m_target, table, targetRecord))))
        return fail(tr("Таблица %1 БД-приёмника: %2").arg(table, target.lastError().text()));

    const bool toPostgres = isPostgres(m_target);
    const bool fromPostgres = isPostgres(m_source);
    count->table = table;
    for (;;) {
        const bool sourceRow = source.next();
        const bool targetRow = target.next();
        if (!sourceRow || !targetRow) {
            if (sourceRow || targetRow)
                return fail(tr("Проверка копии: в таблице %1 БД-приёмника %2 строк, чем в БД-источнике")
                                .arg(table, sourceRow ? tr("меньше") : tr("больше")));
            break;
        }
        ++count->rows;
        for (int i = 0; i < sourceColumns.size(); ++i) {
            QVariant expected = source.value(i);
            const QVariant actual = target.value(i);
            if (i < columns.size() && blob.at(i) && !expected.isNull()) {
                if (toPostgres && expected.userType() != QMetaType::QByteArray) {
                    QByteArray bytes;
                    toStream(expected, &bytes);
                    expected = bytes;
                } else if (!toPostgres && fromPostgres) {
                    const QVariant plain = fromStream(expected.toByteArray());
                    if (plain.isValid())
                        expected = plain;
                }
            }
            if (comparable(expected) != comparable(actual))
                return fail(tr("Проверка копии: таблица %1, строка %2, столбец %3: в БД-источнике %4, в БД-приёмнике %5")
                                .arg(table)
                                .arg(count->rows)
                                .arg(sourceColumns.at(i), shown(expected), shown(actual)));
            if (actual.userType() == QMetaType::QByteArray)
                count->bytes += actual.toByteArray().size();
        }
    }
    if (source.lastError().isValid() || target.lastError().isValid())
        return fail(tr("Проверка копии: таблица %1: %2")
                        .arg(table, (source.lastError().isValid() ? source : target).lastError().text()));
    return true;
}

bool DatabaseCopy::run()
{
    m_counts.clear();
    if (!m_sourceSettings.isValid())
        return fail(m_sourceSettings.error());
    if (!m_targetSettings.isValid())
        return fail(m_targetSettings.error());
    bool done = openSource() && openTarget();
    if (done) {
        done = m_target.transaction();
        if (!done)
            fail(tr("БД-приёмник: %1").arg(m_target.lastError().text()));
        m_writing = done;
    }
    done = done && createSchema();
    const QStringList tables = Schema::tableNames();
    for (int i = 0; done && i < tables.size(); ++i)
        done = copyTable(tables.at(i));
    done = done && setTriggers(true) && continueSequences();
    for (int i = 0; done && i < tables.size(); ++i) {
        TableCount count;
        done = checkTable(tables.at(i), &count);
        m_counts << count;
    }
    if (done) {
        m_writing = false;
        if (!m_target.commit()) {
            m_target.rollback();
            done = fail(tr("БД-приёмник: копия не сохранена: %1").arg(m_target.lastError().text()));
        }
    }
    if (!done)
        m_counts.clear();
    const QString madeFile = !done && m_targetFileMade ? m_targetSettings.databaseName() : QString();
    close();
    // A SQLite file this copy made is not left behind empty.
    if (!madeFile.isEmpty()) {
        QFile::remove(madeFile);
        QFile::remove(madeFile + QStringLiteral("-journal"));
    }
    return done;
}
