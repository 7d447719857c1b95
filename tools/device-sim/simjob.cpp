#include "simjob.h"

namespace {

struct ArchivePhase
{
    const char *name;
    const char *text;
};

const ArchivePhase kArchivePhases[] = {
    {"monthData", QT_TRANSLATE_NOOP("SimJob", "Чтение месячного архива")},
    {"dayData", QT_TRANSLATE_NOOP("SimJob", "Чтение суточного архива")},
    {"hourData", QT_TRANSLATE_NOOP("SimJob", "Чтение часового архива")},
    {"journalData", QT_TRANSLATE_NOOP("SimJob", "Чтение журнала событий")},
};

} // namespace

SimJob::SimJob(int id, const SimDevice &device, bool faulty, const QString &channelKey)
    : m_id(id), m_device(device), m_faulty(faulty), m_channelKey(channelKey)
{
}

ZeltoStatus SimJob::setCommand(const QString &command, const QVariant &params)
{
    if (isStarted())
        return ZeltoStatus::failed(tr("Задание %1 уже запущено").arg(m_id));
    if (command != QLatin1String("readArchive"))
        return ZeltoStatus::failed(tr("Неизвестная команда задания: %1").arg(command.left(40)));
    if (params.userType() != QMetaType::QVariantMap)
        return ZeltoStatus::failed(tr("Параметры команды readArchive должны быть словарём"));
    const QVariantMap map = params.toMap();
    const QVariant data = map.value(QStringLiteral("data"));
    if (data.userType() != QMetaType::QVariantList && data.userType() != QMetaType::QStringList)
        return ZeltoStatus::failed(tr("Параметр data команды readArchive должен быть списком архивов"));
    const QVariant firstDate = map.value(QStringLiteral("firstDate"));
    if (!firstDate.isNull() && (firstDate.userType() != QMetaType::QDateTime || !firstDate.toDateTime().isValid()))
        return ZeltoStatus::failed(tr("Параметр firstDate команды readArchive должен быть датой и временем"));
    m_data = data.toStringList();
    m_firstDate = firstDate.toDateTime();
    m_hasCommand = true;
    return ZeltoStatus();
}

ZeltoStatus SimJob::start(const QDateTime &now, int durationMs)
{
    if (!m_hasCommand)
        return ZeltoStatus::failed(tr("Задание %1 не получило команду").arg(m_id));
    if (isStarted())
        return ZeltoStatus::failed(tr("Задание %1 уже запущено").arg(m_id));
    m_started = now;
    m_durationMs = durationMs;
    // The session's phases share the run's time equally.
    QStringList texts{tr("Подключение к прибору по каналу %1").arg(m_device.channel())};
    if (faulty(SimDevice::NoAnswer)) {
        texts.append(tr("Ожидание ответа прибора"));
    } else if (!faulty(SimDevice::Refused)) {
        texts.append(tr("Чтение текущих данных"));
        for (const ArchivePhase &phase : kArchivePhases) {
            if (m_data.contains(QLatin1String(phase.name)))
                texts.append(tr(phase.text));
        }
    }
    for (int i = 0; i < texts.size(); ++i)
        m_phases.append({100 * i / texts.size(), texts.at(i)});
    note(now, tr("Задание %1: прибор %2, драйвер %3").arg(m_id).arg(m_device.model(), m_device.driver()));
    advance(now);
    return ZeltoStatus();
}

QDateTime SimJob::endTime() const
{
    if (!isStarted())
        return QDateTime();
    if (m_cancelled)
        return m_cancelledAt;
    return m_started.addMSecs(m_durationMs);
}

void SimJob::cancel(const QDateTime &now)
{
    if (m_finished || m_cancelled)
        return;
    m_cancelled = true;
    m_cancelledAt = isStarted() ? qMin(now, endTime()) : now;
}

void SimJob::advance(const QDateTime &now)
{
    if (m_finished || !isStarted())
        return;
    if (m_cancelled) {
        m_finished = true;
        m_state = tr("Опрос отменён");
        note(m_cancelledAt, m_state);
        return;
    }
    const qint64 elapsed = m_started.msecsTo(now);
    const int percent = m_durationMs > 0 ? int(qBound<qint64>(0, 100 * elapsed / m_durationMs, 100)) : 100;
    while (m_nextPhase < m_phases.size() && m_phases.at(m_nextPhase).percent <= percent) {
        m_state = m_phases.at(m_nextPhase).text;
        note(m_started.addMSecs(m_durationMs * m_phases.at(m_nextPhase).percent / 100), m_state);
        ++m_nextPhase;
    }
    if (elapsed < m_durationMs) {
        m_progress = qMin(percent, 99);
        return;
    }
    m_finished = true;
    if (faulty(SimDevice::Refused))
        m_error = tr("Соединение с прибором отклонено");
    else if (faulty(SimDevice::NoAnswer))
        m_error = tr("Прибор не отвечает");
    else if (faulty(SimDevice::Error))
        m_error = m_device.faultText();
    if (m_error.isEmpty()) {
        m_progress = 100;
        m_state = tr("Опрос завершён");
    } else {
        m_state = tr("Опрос завершён с ошибкой");
    }
    note(endTime(), m_error.isEmpty() ? m_state : m_error);
}

void SimJob::note(const QDateTime &at, const QString &text)
{
    m_log.append(at.toString(QStringLiteral("hh:mm:ss.zzz ")) + text);
}

QStringList SimJob::takeLog()
{
    const QStringList lines = m_log;
    m_log.clear();
    return lines;
}

void SimJob::addLog(const QStringList &lines)
{
    const QString stamp = endTime().toString(QStringLiteral("hh:mm:ss.zzz "));
    for (const QString &line : lines)
        m_log.append(stamp + line);
}

void SimJob::setResult(const ZeltoTableMap &result)
{
    m_result = result;
    m_hasResult = true;
}
