#include "devicesimulator.h"

#include "simarchives.h"
#include "taskparams.h"
#include "zeltoserver.h"

#include <cmath>
#include <limits>

namespace {

const int kPhaseMs = 1000;

// The first row of the hourly archive (or of current data without one)
// with a list in its first parameter.
ZeltoTableMap withBadCell(ZeltoTableMap tables)
{
    for (const char *name : {"hour_data", "current_data"}) {
        const auto table = tables.find(QLatin1String(name));
        if (table != tables.end() && table->rowCount() > 0 && table->columnCount() > 1) {
            table->setValue(0, table->columnName(1), QVariantList{1, 2});
            break;
        }
    }
    return tables;
}

} // namespace

DeviceSimulator &DeviceSimulator::instance()
{
    static DeviceSimulator simulator;
    return simulator;
}

ZeltoResult<SimJob *> DeviceSimulator::job(const QVariantList &params)
{
    const QVariant id = params.value(0);
    const auto it = Zelto::isNumber(id) ? m_jobs.find(id.toInt()) : m_jobs.end();
    if (it == m_jobs.end())
        return ZeltoStatus::failed(tr("Задание %1 не найдено").arg(id.toString().left(40)));
    SimJob &found = it.value();
    found.advance(QDateTime::currentDateTime());
    // Read when the session ends, so that the log tells what was read.
    if (found.succeeded() && !found.hasResult() && !found.faulty(SimDevice::Empty)) {
        const int depth = found.device().depthDays() >= 0 ? found.device().depthDays() : m_options.depthDays;
        const ZeltoTableMap tables = SimArchives::read(found.device(), found.data(), found.firstDate(), found.endTime(),
                                                       {depth, m_options.overlapDays});
        found.setResult(found.faulty(SimDevice::BadCell) ? withBadCell(tables) : tables);
        found.addLog(SimArchives::summary(tables));
    }
    return &found;
}

ZeltoResult<QVariant> DeviceSimulator::createTask(const QVariantList &params)
{
    if (params.value(0).userType() != QMetaType::QVariantMap || params.value(1).userType() != QMetaType::QVariantMap)
        return ZeltoStatus::failed(tr("Параметры createTask: настройки канала и драйвер (словари)"));
    const QVariantMap channel = params.at(0).toMap();
    SimDevice device;
    const ZeltoStatus read = device.read(channel, params.at(1).toMap());
    if (!read.ok())
        return read;
    const int run = ++m_runs[device.identity()];
    const bool faulty = device.faultsHit(run);
    const int id = m_nextId++;
    m_jobs.insert(id, SimJob(id, device, faulty, TaskParams::channelKey(channel)));
    ++m_created;
    return QVariant(id);
}

ZeltoResult<QVariant> DeviceSimulator::setCommand(const QVariantList &params)
{
    const ZeltoResult<SimJob *> found = job(params);
    if (!found.ok())
        return found.status();
    const ZeltoStatus set = found.value()->setCommand(params.value(1).toString(), params.value(2));
    if (!set.ok())
        return set;
    return QVariant(true);
}

int DeviceSimulator::durationMs(const SimJob &job) const
{
    const SimDevice &device = job.device();
    if (job.faulty(SimDevice::Hang))
        return std::numeric_limits<int>::max();
    if (device.runSeconds() >= 0)
        return device.runSeconds() * 1000;
    if (m_options.instant || job.faulty(SimDevice::Refused))
        return 0;
    // Connecting, current data, then a phase per archive asked for.
    const int base = job.faulty(SimDevice::NoAnswer) ? device.readTimeoutMs() : kPhaseMs * (2 + job.data().size());
    return int(std::lround(base / qMax(m_options.speed, 1e-3)));
}

ZeltoResult<QVariant> DeviceSimulator::startTask(const QVariantList &params)
{
    const ZeltoResult<SimJob *> found = job(params);
    if (!found.ok())
        return found.status();
    const QDateTime now = QDateTime::currentDateTime();
    const ZeltoStatus started = found.value()->start(now, durationMs(*found.value()));
    if (!started.ok())
        return started;
    noteRunning(*found.value(), now);
    return QVariant(true);
}

// The most jobs ever run at once, on each channel and on all of them: the
// jobs started whose run had not ended when this one started.
void DeviceSimulator::noteRunning(const SimJob &job, const QDateTime &now)
{
    auto note = [&](QList<int> &running, int &most) {
        for (int i = running.size() - 1; i >= 0; --i) {
            const auto other = m_jobs.constFind(running.at(i));
            if (other == m_jobs.constEnd() || !(other->endTime() > now))
                running.removeAt(i);
        }
        running.append(job.id());
        most = qMax(most, running.size());
    };
    note(m_runningJobs[job.channelKey()], m_maxRunning[job.channelKey()]);
    note(m_runningAll, m_maxRunningTotal);
}

ZeltoResult<QVariant> DeviceSimulator::cancelTask(const QVariantList &params)
{
    const ZeltoResult<SimJob *> looked = job(params);
    if (!looked.ok())
        return looked.status();
    SimJob *found = looked.value();
    ++m_cancelRequests;
    if (!found->faulty(SimDevice::Hang))
        found->cancel(QDateTime::currentDateTime());
    return QVariant(true);
}

ZeltoResult<QVariant> DeviceSimulator::getState(const QVariantList &params)
{
    const ZeltoResult<SimJob *> looked = job(params);
    if (!looked.ok())
        return looked.status();
    SimJob *found = looked.value();
    if (found->faulty(SimDevice::Silent)) {
        // Answered never: the client waits in vain.
        ZeltoServer::global()->deferReply();
        return QVariant(true);
    }
    if (found->faulty(SimDevice::BadReply))
        return QVariant(tr("состояние неизвестно"));
    return QVariant(QVariantList{found->id(), found->isFinished(), found->progress(), found->state()});
}

ZeltoResult<QVariant> DeviceSimulator::takeLog(const QVariantList &params)
{
    const ZeltoResult<SimJob *> looked = job(params);
    if (!looked.ok())
        return looked.status();
    SimJob *found = looked.value();
    return QVariant(QVariantList{found->id(), found->takeLog()});
}

ZeltoResult<QVariant> DeviceSimulator::getResult(const QVariantList &params)
{
    const ZeltoResult<SimJob *> looked = job(params);
    if (!looked.ok())
        return looked.status();
    SimJob *found = looked.value();
    if (!found->isFinished())
        return QVariant(QVariantList{found->id(), false, tr("Опрос ещё не завершён")});
    if (!found->succeeded())
        return QVariant(QVariantList{found->id(), false, found->error().isEmpty() ? found->state() : found->error()});
    if (!found->hasResult())
        return QVariant(QVariantList{found->id(), true, QVariantList()});
    return QVariant(QVariantList{found->id(), true, QVariantList{QVariant::fromValue(found->result())}});
}

ZeltoResult<QVariant> DeviceSimulator::removeTask(const QVariantList &params)
{
    const ZeltoResult<SimJob *> found = job(params);
    if (!found.ok())
        return found.status();
    m_jobs.remove(params.value(0).toInt());
    return QVariant(true);
}

ZeltoResult<QVariant> DeviceSimulator::getStats(const QVariantList &)
{
    QVariantMap maxRunning;
    for (auto it = m_maxRunning.constBegin(); it != m_maxRunning.constEnd(); ++it)
        maxRunning.insert(it.key(), it.value());
    QVariantMap runs;
    for (auto it = m_runs.constBegin(); it != m_runs.constEnd(); ++it)
        runs.insert(it.key(), it.value());
    return QVariant(QVariantMap{{QStringLiteral("maxRunning"), maxRunning},
                       {QStringLiteral("maxRunningTotal"), m_maxRunningTotal},
                       {QStringLiteral("created"), m_created},
                       {QStringLiteral("alive"), m_jobs.size()},
                       {QStringLiteral("cancelRequests"), m_cancelRequests},
                       {QStringLiteral("runs"), runs}});
}

ZeltoResult<QVariant> DeviceSimulator::resetStats(const QVariantList &)
{
    m_maxRunning.clear();
    m_maxRunningTotal = 0;
    m_runs.clear();
    m_created = 0;
    m_cancelRequests = 0;
    return QVariant(true);
}
