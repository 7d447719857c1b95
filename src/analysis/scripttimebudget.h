#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>

class QScriptEngine;

// Bounds the time a check script may take, on the thread that runs it: one
// limit for each evaluation (a row) and one for the whole run over a table.
// While it exists the engine stops every few milliseconds to process
// events; the dispatcher's "awake" signal of that pass is where a runaway
// evaluation is aborted. Between evaluations the table limit is checked by
// the caller through tableTimeLeft().
class ScriptTimeBudget
{
    Q_DECLARE_TR_FUNCTIONS(ScriptTimeBudget)

public:
    // Neither limit goes beyond this, whatever the settings say: scripts
    // run on the thread that serves every client.
    static constexpr int kMaxLimitMs = 60000;

    // Limits in milliseconds; values below 1 count as 1, above kMaxLimitMs
    // as kMaxLimitMs.
    ScriptTimeBudget(QScriptEngine *engine, int rowLimitMs, int tableLimitMs);
    ~ScriptTimeBudget();
    ScriptTimeBudget(const ScriptTimeBudget &) = delete;
    ScriptTimeBudget &operator=(const ScriptTimeBudget &) = delete;

    // Restarts the row clock; call right before each evaluation.
    void startRow();
    // False (and exceeded() true) once the table limit has passed.
    bool tableTimeLeft();

    int rowLimit() const { return m_rowLimit; }
    int tableLimit() const { return m_tableLimit; }

    // True after a limit stopped the run; message() then says which.
    bool exceeded() const { return !m_message.isEmpty(); }
    QString message() const { return m_message; }

private:
    void onAwake();
    static qint64 now();

    QScriptEngine *m_engine;
    int m_previousInterval;
    int m_rowLimit;
    int m_tableLimit;
    // When the row and the table began, on the system's monotonic clock:
    // the budget is the real time the main thread spends.
    qint64 m_rowStarted;
    qint64 m_tableStarted;
    QMetaObject::Connection m_hook;
    QString m_message;
};
