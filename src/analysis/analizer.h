#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QObject>
#include <QScriptProgram>
#include <QScriptValue>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class Database;
class QScriptEngine;

// Runs a node's check script over an archive table, one evaluation per row.
// The script is built from the node's check parameters: the user's text,
// the ready-made criteria and the device error flags switch. It calls the
// public slots below by name to test the current row; every failed test is
// a finding (kept in findings()) and marks the row with "CHECK_ERR" = true.
// A checker serves one job and is not shared between threads.
class Analizer : public QObject
{
    Q_OBJECT

public:
    // The archive kind a script call is meant for; scripts see it as "Enum".
    enum Data { All = 0, Current = 1, Month = 2, Day = 3, Hour = 4 };
    Q_ENUM(Data)

    // The script time limits are database's settings (the built-in ones without a database).
    Analizer(const QString &modelCode, Database *database, QObject *parent = nullptr);
    ~Analizer() override;

    // Builds and compiles the script from "script", "criteria" and
    // "checkErrors". An empty script leaves the program as it was.
    void setCheckParams(const QVariantMap &params);
    // The script the last setCheckParams built.
    QString script() const { return m_script; }

    // Evaluates the program once for every row of table, marking rows in
    // place. False when the script threw an exception it did not catch or
    // ran out of time ("scriptRowTimeout" per row, "scriptTableTimeout" per
    // table, in ms), saying why; the rows after it are not evaluated.
    // Findings recorded before stay.
    ZeltoStatus check(ZeltoTable &table, const QString &archiveName);
    // check() for "current_data", "day_data", "hour_data" and "month_data"
    // of the map, in name order; stops at the first failure.
    ZeltoStatus checkAll(ZeltoTableMap &tables);

    // Findings of all check calls: "atime" (the row's date), "archive",
    // "message".
    int findingCount() const { return m_findingCount; }
    ZeltoTable findings() const { return m_findings; }

    static Data kindOf(const QString &archiveName);

    static const int kDefaultRowTimeoutMs = 1000;
    static const int kDefaultTableTimeoutMs = 10000;
    // Invalid, with the reason, for a value of
    // "scriptRowTimeout" or "scriptTableTimeout" that is not a whole number
    // of milliseconds from 1 to ScriptTimeBudget::kMaxLimitMs; ok for
    // other settings.
    static ZeltoStatus checkTimeoutSetting(const QString &name, const QVariant &value);

public slots:
    // The current row's value of a column (undefined when absent).
    QVariant value(const QString &paramCode);
    // Records message unless it is blank.
    void error(const QString &message);
    // Records errorMessage when result is false on an archive named by data:
    // empty, or holding C, M, D or H for current, month, day or hour data.
    void check(const QString &data, bool result, const QString &errorMessage);
    // Records errorMessage when success is true.
    void checkExpr(Data data, bool success, const QString &errorMessage);
    void checkMore(Data data, const QString &paramCode, double value);
    void checkMore(Data data, const QString &paramCode1, const QString &paramCode2);
    void checkLess(Data data, const QString &paramCode, double value);
    void checkLess(Data data, const QString &paramCode1, const QString &paramCode2);
    // The bounds themselves pass.
    void checkNotIn(Data data, const QString &paramCode, double minValue, double maxValue);
    // Records the set bits of an error-flags parameter (all bits, or those
    // of mask), with errorMessage or else the texts of the bits.
    void checkError(Data data, const QString &paramCode);
    void checkError(Data data, const QString &paramCode, int mask, const QString &errorMessage = QString());
    // Records one finding for a row on which any error-flags column is set.
    void checkErrors(Data data = All, const QString &errorMessage = QString());

private:
    enum class Order { More, Less };

    void installGlobals();
    bool applies(Data data) const;
    // Known to the catalogue and a column of the table under test.
    bool usable(const QString &paramCode) const;
    bool number(const QString &column, double *result) const;
    QString title(const QString &paramCode) const;
    QString bitTexts(const QString &paramCode, quint64 bits) const;
    void compareWithValue(Order order, Data data, const QString &paramCode, double value);
    void compareParams(Order order, Data data, const QString &paramCode1, const QString &paramCode2);
    void flagError(Data data, const QString &paramCode, quint64 mask, const QString &errorMessage);
    void addFinding(const QString &message);

    Database *m_database;   // null: the built-in time limits
    QScriptEngine *m_engine;
    QScriptValue m_baseGlobal;
    QScriptProgram m_program;
    QString m_script;
    QString m_modelCode;
    QString m_archive;
    Data m_kind = Current;
    ZeltoTable *m_table = nullptr;
    ZeltoRecord m_record;
    int m_findingCount = 0;
    ZeltoTable m_findings;
};
