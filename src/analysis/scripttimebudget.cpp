#include "scripttimebudget.h"

#include "zeltoclock.h"

#include <QAbstractEventDispatcher>
#include <QScriptEngine>

#include <algorithm>

namespace {

// How often the engine looks at the clock: a tenth of the smaller limit,
// so that a runaway script overruns it by about a tenth, but never more
// often than every 5 ms (each look processes the thread's events) nor less
// often than every 100 ms.
int checkInterval(int rowLimit, int tableLimit)
{
    return std::clamp(std::min(rowLimit, tableLimit) / 10, 5, 100);
}

} // namespace

ScriptTimeBudget::ScriptTimeBudget(QScriptEngine *engine, int rowLimitMs, int tableLimitMs)
    : m_engine(engine),
      m_previousInterval(engine->processEventsInterval()),
      m_rowLimit(std::clamp(rowLimitMs, 1, kMaxLimitMs)),
      m_tableLimit(std::clamp(tableLimitMs, 1, kMaxLimitMs)),
      m_rowStarted(now()),
      m_tableStarted(m_rowStarted)
{
    m_engine->setProcessEventsInterval(checkInterval(m_rowLimit, m_tableLimit));
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        m_hook = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, m_engine, [this]() { onAwake(); });
}

ScriptTimeBudget::~ScriptTimeBudget()
{
    QObject::disconnect(m_hook);
    m_engine->setProcessEventsInterval(m_previousInterval);
}

qint64 ScriptTimeBudget::now()
{
    return ZeltoClock::system()->monotonicMs();
}

void ScriptTimeBudget::startRow()
{
    m_rowStarted = now();
}

bool ScriptTimeBudget::tableTimeLeft()
{
    if (exceeded())
        return false;
    if (now() - m_tableStarted <= m_tableLimit)
        return true;
    m_message = tr("Скрипт проверки прерван: проверка архива длится более %1 мс").arg(m_tableLimit);
    return false;
}

void ScriptTimeBudget::onAwake()
{
    // The dispatcher wakes for everybody on this thread; only a pass made
    // from inside our engine's evaluation concerns us.
    if (exceeded() || !m_engine->isEvaluating())
        return;
    if (now() - m_tableStarted > m_tableLimit)
        m_message = tr("Скрипт проверки прерван: проверка архива длится более %1 мс").arg(m_tableLimit);
    else if (now() - m_rowStarted > m_rowLimit)
        m_message = tr("Скрипт проверки прерван: проверка одной записи архива длится более %1 мс").arg(m_rowLimit);
    else
        return;
    m_engine->abortEvaluation();
}
