#include "sqldialect.h"

#include "postgresschema.h"
#include "schema.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

namespace {

// What the schema's CREATE texts say of its tables: those with an id column,
// and the BLOB columns of each ("table.column").
struct SchemaFacts
{
    QSet<QString> idTables;
    QSet<QString> blobColumns;
};

const SchemaFacts &schemaFacts()
{
    static const SchemaFacts facts = []() {
        SchemaFacts made;
        static const QRegularExpression create(QStringLiteral("^CREATE TABLE (\\w+) \\( (.*)\\)$"));
        static const QRegularExpression blob(QStringLiteral("(\\w+) BLOB\\b"));
        for (const QString &statement : Schema::currentSchema()) {
            const QRegularExpressionMatch match = create.match(statement);
            if (!match.hasMatch())
                continue;
            const QString table = match.captured(1);
            const QString columns = match.captured(2);
            if (columns.startsWith(QLatin1String("id INTEGER")))
                made.idTables << table;
            QRegularExpressionMatchIterator it = blob.globalMatch(columns);
            while (it.hasNext())
                made.blobColumns << table + QLatin1Char('.') + it.next().captured(1).toLower();
        }
        return made;
    }();
    return facts;
}

} // namespace

QString SqlDialect::insertOrReplace(const QString &table, const QStringList &columns, const QStringList &key) const
{
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    const QString insert =
        QStringLiteral("INTO %1 (%2) VALUES (%3)").arg(table, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    if (m_kind == SQLite)
        return QStringLiteral("INSERT OR REPLACE ") + insert;
    QStringList updates;
    for (const QString &column : columns) {
        if (!key.contains(column))
            updates << QStringLiteral("%1 = EXCLUDED.%1").arg(column);
    }
    return QStringLiteral("INSERT ") + insert
        + QStringLiteral(" ON CONFLICT (%1) DO ").arg(key.join(QStringLiteral(", ")))
        + (updates.isEmpty() ? QStringLiteral("NOTHING") : QStringLiteral("UPDATE SET ") + updates.join(QStringLiteral(", ")));
}

QString SqlDialect::holdsValue(const QString &column) const
{
    if (m_kind == SQLite)
        return QStringLiteral("typeof(%1) <> 'null'").arg(column);
    return QStringLiteral("%1 IS NOT NULL").arg(column);
}

QString SqlDialect::joined(const QString &expression) const
{
    if (m_kind == SQLite)
        return QStringLiteral("group_concat(%1)").arg(expression);
    return QStringLiteral("string_agg(CAST(%1 AS TEXT), ',')").arg(expression);
}

QString SqlDialect::findTable() const
{
    if (m_kind == SQLite)
        return QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE "
                              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
    return QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                          "AND table_type = 'BASE TABLE' AND lower(table_name) = lower(?)");
}

QString SqlDialect::findColumn() const
{
    if (m_kind == SQLite)
        return QStringLiteral("SELECT name FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE");
    return QStringLiteral("SELECT column_name FROM information_schema.columns WHERE table_schema = current_schema() "
                          "AND table_name = ? AND lower(column_name) = lower(?)");
}

QString SqlDialect::errorText(const QSqlError &error) const
{
    QString text = error.databaseText();
    if (m_kind == SQLite)
        return text;
    // libpq's message: "ERROR:  <message>\n", maybe "DETAIL:  ...\n", and from the driver the error code "(P0001)".
    const QString detail = text.section(QStringLiteral("DETAIL:"), 1).section(QLatin1Char('\n'), 0, 0).trimmed();
    text = text.section(QLatin1Char('\n'), 0, 0);
    if (text.startsWith(QLatin1String("ERROR:")))
        text = text.mid(6);
    text = text.trimmed();
    // A broken constraint in SQLite's words, so that clients read the same on both (when the
    // server's messages are in English; in another language they stay PostgreSQL's own).
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("23503"))
        return QStringLiteral("FOREIGN KEY constraint failed");
    static const QRegularExpression notNull(QStringLiteral("^null value in column \"(\\w+)\" of relation \"(\\w+)\""));
    QRegularExpressionMatch match = notNull.match(text);
    if (code == QLatin1String("23502") && match.hasMatch())
        return QStringLiteral("NOT NULL constraint failed: %1.%2").arg(match.captured(2), match.captured(1));
    static const QRegularExpression unique(QStringLiteral("unique constraint \"(\\w+)\""));
    static const QRegularExpression key(QStringLiteral("^Key \\(([^)]*)\\)="));
    match = unique.match(text);
    const QRegularExpressionMatch keyMatch = key.match(detail);
    if (code == QLatin1String("23505") && match.hasMatch() && keyMatch.hasMatch()) {
        // PostgreSQL names the constraint <table>_<columns>_key, or <table>_pkey.
        const QStringList columns = keyMatch.captured(1).split(QStringLiteral(", "));
        QString table = match.captured(1);
        for (const QString &suffix : {QStringLiteral("_pkey"), QLatin1Char('_') + columns.join(QLatin1Char('_')) + QStringLiteral("_key")}) {
            if (table.endsWith(suffix)) {
                table.chop(suffix.size());
                QStringList named;
                for (const QString &column : columns)
                    named << table + QLatin1Char('.') + column;
                return QStringLiteral("UNIQUE constraint failed: ") + named.join(QStringLiteral(", "));
            }
        }
    }
    return text;
}

QString SqlDialect::insertionOrder() const
{
    // PostgreSQL has no row number of its own: the tables read in this order carry one.
    return m_kind == SQLite ? QStringLiteral("rowid") : QStringLiteral("seq");
}

QString SqlDialect::rowOrder(const QString &table) const
{
    return table + (m_kind == SQLite ? QStringLiteral(".rowid") : QStringLiteral(".ctid"));
}

QString SqlDialect::ascending(const QString &column) const
{
    return m_kind == SQLite ? column : column + QStringLiteral(" NULLS FIRST");
}

bool SqlDialect::prepares(const QString &statement) const
{
    if (m_kind == SQLite)
        return true;
    const QString head = statement.trimmed().section(QLatin1Char(' '), 0, 0).toUpper();
    return head == QLatin1String("SELECT") || head == QLatin1String("INSERT") || head == QLatin1String("UPDATE")
        || head == QLatin1String("DELETE") || head == QLatin1String("VALUES") || head == QLatin1String("WITH");
}

QString SqlDialect::returningId(const QString &table) const
{
    if (m_kind == SQLite || !schemaFacts().idTables.contains(table.toLower()))
        return QString();
    return QStringLiteral(" RETURNING id");
}

QVector<bool> SqlDialect::binaryParameters(const QString &statement) const
{
    QVector<bool> binary;
    if (m_kind == SQLite)
        return binary;
    // The server's own shapes: "INSERT [OR ...] INTO t (a, b) VALUES (?, ?)..." and
    // "UPDATE t SET a = ?, b = ? WHERE ..."; placeholders elsewhere fill no column.
    static const QRegularExpression insert(
        QStringLiteral("^INSERT (?:OR \\w+ )?INTO (\\w+) \\(([^)]*)\\) VALUES \\("), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression update(QStringLiteral("^UPDATE (\\w+) SET (.*?)( WHERE |$)"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression assignment(QStringLiteral("(\\w+) = \\?"));
    const QSet<QString> &blobs = schemaFacts().blobColumns;
    const int count = statement.count(QLatin1Char('?'));
    binary.fill(false, count);
    QRegularExpressionMatch match = insert.match(statement);
    if (match.hasMatch()) {
        const QString table = match.captured(1).toLower();
        const QStringList columns = match.captured(2).split(QLatin1Char(','));
        for (int i = 0; i < columns.size() && i < count; ++i)
            binary[i] = blobs.contains(table + QLatin1Char('.') + columns.at(i).trimmed().toLower());
        return binary;
    }
    match = update.match(statement);
    if (match.hasMatch()) {
        const QString table = match.captured(1).toLower();
        QRegularExpressionMatchIterator it = assignment.globalMatch(match.captured(2));
        // Only "column = ?" takes a placeholder in the server's SET clauses.
        for (int i = 0; it.hasNext() && i < count; ++i)
            binary[i] = blobs.contains(table + QLatin1Char('.') + it.next().captured(1).toLower());
    }
    return binary;
}

QString SqlDialect::countTables() const
{
    return m_kind == SQLite ? QLatin1String(Schema::CountTables) : PostgresSchema::countTables();
}

QString SqlDialect::readVersion() const
{
    return m_kind == SQLite ? QLatin1String(Schema::ReadUserVersion) : PostgresSchema::readVersion();
}

QString SqlDialect::writeVersion(int version) const
{
    if (m_kind == SQLite)
        return QLatin1String(Schema::WriteUserVersion) + QString::number(version);
    return QStringLiteral("UPDATE schema_version SET version = %1").arg(version);
}
