#pragma once

#include <QString>
#include <QStringList>

// The schema on PostgreSQL: the tables, columns, rows and triggers that
// SQLite's schema has at the current version, in PostgreSQL's words. A new
// PostgreSQL database starts at the current version (the steps before it
// exist for SQLite files of earlier releases); the later steps apply to both.
//
// The tables are made from SQLite's own CREATE and ALTER texts (Schema), so
// the two cannot drift apart: BLOB becomes BYTEA, DATETIME stays text in the
// same stored form, and text takes the "C" collation (SQLite's byte order). What SQLite does on its own is done by triggers: an
// INTEGER PRIMARY KEY left out takes the largest id plus one, and setting_data
// carries a "seq" for the order its rows were inserted in. The version is the
// one row of schema_version.
namespace PostgresSchema {

// Every statement, in order: the whole schema on an empty database.
QStringList statements(int version);
// A SELECT of the version; schema_version is there once countTables() is not 0.
QString readVersion();
// A SELECT of the number of the data's tables.
QString countTables();

}
