#include "task.h"

#include "zelto.h"
#include "zeltoclock.h"
#include "zeltoclient.h"

#include <QSettings>

namespace {

const int kStatePauseMs = 1000;
// Waits are cut into slices so that an abort is noticed quickly.
const int kSliceMs = 100;
const quint16 kDefaultPort = 5411;

} // namespace

Task::Task(QObject *parent) : QObject(parent)
{
    setAutoDelete(false);
}

QVariantMap Task::params() const
{
    QMutexLocker locker(&m_mutex);
    return m_params;
}

void Task::setParams(const QVariantMap &params)
{
    QMutexLocker locker(&m_mutex);
    m_params = params;
}

ZeltoTableMap Task::result() const
{
    QMutexLocker locker(&m_mutex);
    return m_result;
}

QStringList Task::log() const
{
    QMutexLocker locker(&m_mutex);
    return m_log;
}

void Task::setResult(const ZeltoTableMap &result)
{
    QMutexLocker locker(&m_mutex);
    m_result = result;
}

void Task::setLog(const QStringList &log)
{
    QMutexLocker locker(&m_mutex);
    m_log = log;
}

void Task::abort()
{
    m_aborted = true;
    m_token.cancel();
}

QString Task::host(const QVariantMap &params)
{
    const QVariant ip = params.value(QStringLiteral("varnel_ip"));
    return ip.isNull() || ip.toString().isEmpty() ? QStringLiteral("localhost") : ip.toString();
}

quint16 Task::port(const QVariantMap &params)
{
    QVariant port = params.value(QStringLiteral("varnel_port"));
    if (port.isNull()) {
        const QSettings ini(Zelto::moduleDir() + QStringLiteral("/varnel.ini"), QSettings::IniFormat);
        port = ini.value(QStringLiteral("Server/port"), kDefaultPort);
    }
    bool ok = false;
    const uint value = port.toUInt(&ok);
    return ok && value > 0 && value <= 65535 ? quint16(value) : 0;
}

void Task::begin()
{
    m_running = true;
    m_done = false;
    m_token.clear(true);
    QMutexLocker locker(&m_mutex);
    m_result.clear();
    m_log.clear();
}

void Task::end()
{
    m_running = false;
    m_done = true;
    emit finished(this);
}

void Task::run()
{
    begin();
    if (!m_token.isCanceled())
        converse();
    end();
}

bool Task::fail(const QString &text)
{
    m_token.setError(text);
    return false;
}


bool Task::pause(int ms)
{
    const ZeltoClock *clock = ZeltoClock::system();
    const qint64 until = clock->monotonicMs() + ms;
    for (qint64 now = clock->monotonicMs(); now < until; now = clock->monotonicMs()) {
        if (m_aborted)
            return false;
        Zelto::sleep(int(qMin<qint64>(kSliceMs, until - now)));
    }
    return !m_aborted;
}

bool Task::call(ZeltoClient &client, const QString &name, const QVariantList &args, QVariant *reply)
{
    const ZeltoStatus sent = send(client, name, args, reply);
    return sent.ok() || fail(sent.message());
}

ZeltoStatus Task::send(ZeltoClient &client, const QString &name, const QVariantList &args, QVariant *reply)
{
    if (m_aborted)
        return ZeltoStatus::unavailable(tr("Опрос прерван: сервер данных останавливается"));
    if (!client.request(name, args))
        return ZeltoStatus::unavailable(client.errorString());
    const int limit = m_replyTimeoutMs;
    const ZeltoClock *clock = ZeltoClock::system();
    const qint64 sent = clock->monotonicMs();
    for (;;) {
        const int slice = int(qBound<qint64>(1, limit - (clock->monotonicMs() - sent), kSliceMs));
        if (client.waitForResponse(slice)) {
            if (reply)
                *reply = client.result();
            return ZeltoStatus();
        }
        // An error reply or a broken connection ends the wait at once; a
        // slice that ran out only counts towards the time limit.
        if (client.errorCode() != 0)
            return ZeltoStatus::failed(client.errorString());
        if (!client.isConnected())
            return ZeltoStatus::unavailable(client.errorString());
        if (m_aborted)
            return ZeltoStatus::unavailable(tr("Опрос прерван: сервер данных останавливается"));
        if (clock->monotonicMs() - sent >= limit)
            return ZeltoStatus::unavailable(
                tr("Сервер опроса не ответил на запрос %1 за %2 с").arg(name).arg(limit / 1000.0));
    }
}

void Task::converse()
{
    const QVariantMap params = this->params();
    if (params.isEmpty()) {
        fail(tr("Не заданы параметры задачи"));
        return;
    }
    const QString serverHost = host(params);
    const quint16 serverPort = port(params);
    if (serverPort == 0) {
        fail(tr("Неверный порт сервера опроса: %1").arg(params.value(QStringLiteral("varnel_port")).toString()));
        return;
    }
    ZeltoClient client;
    client.connectToHost(serverHost, serverPort);
    if (!client.waitForConnected(m_replyTimeoutMs)) {
        fail(client.errorString());
        return;
    }

    QVariant reply;
    if (!call(client, QStringLiteral("createTask"),
              {params.value(QStringLiteral("channel")), params.value(QStringLiteral("driver"))}, &reply))
        return;
    bool isNumber = false;
    const qlonglong jobId = reply.toLongLong(&isNumber);
    if (!isNumber || !Zelto::isNumber(reply)) {
        fail(tr("Неверный ответ сервера опроса на запрос createTask: ожидается номер задания"));
        return;
    }
    if (!call(client, QStringLiteral("setCommand"),
              {jobId, params.value(QStringLiteral("command")), params.value(QStringLiteral("params"))})
        || !call(client, QStringLiteral("startTask"), {jobId}))
        return;

    bool cancelSent = false;
    for (;;) {
        if (m_token.isCanceled() && !cancelSent) {
            if (!call(client, QStringLiteral("cancelTask"), {jobId}))
                return;
            cancelSent = true;
        }
        bool finished = false;
        if (!call(client, QStringLiteral("getState"), {jobId}, &reply) || !readState(reply, finished))
            return;
        emit stateChanged(this);
        if (finished)
            break;
        if (!pause(kStatePauseMs)) {
            fail(tr("Опрос прерван: сервер данных останавливается"));
            return;
        }
    }

    // A cancel that came after the last state poll skips the log.
    if (!(m_token.isCanceled() && !cancelSent)) {
        if (!call(client, QStringLiteral("takeLog"), {jobId}, &reply))
            return;
        const QVariantList answer = reply.toList();
        if (reply.userType() != QMetaType::QVariantList) {
            fail(tr("Неверный ответ сервера опроса на запрос takeLog: ожидается список"));
            return;
        }
        if (answer.size() > 1)
            setLog(answer.at(1).toStringList());
    }
    // The job goes whatever the result; a failure to remove it is not the run's.
    if (m_token.isCanceled()) {
        send(client, QStringLiteral("removeTask"), {jobId});
        return;
    }
    if (!call(client, QStringLiteral("getResult"), {jobId}, &reply))
        return;
    readResult(reply);
    send(client, QStringLiteral("removeTask"), {jobId});
}

bool Task::readState(const QVariant &reply, bool &finished)
{
    if (reply.userType() != QMetaType::QVariantList)
        return fail(tr("Неверный ответ сервера опроса на запрос getState: ожидается список"));
    const QVariantList state = reply.toList();
    if (state.size() > 1 && state.at(1).userType() != QMetaType::Bool)
        return fail(tr("Неверный ответ сервера опроса на запрос getState: признак завершения не логический"));
    if (state.size() > 2) {
        if (!Zelto::isNumber(state.at(2)))
            return fail(tr("Неверный ответ сервера опроса на запрос getState: ход выполнения не число"));
        m_token.setProgress(state.at(2).toInt());
    }
    if (state.size() > 3)
        m_token.setState(state.at(3).toString());
    finished = state.size() > 1 && state.at(1).toBool();
    return true;
}

bool Task::readResult(const QVariant &reply)
{
    const QVariantList answer = reply.toList();
    if (reply.userType() != QMetaType::QVariantList || answer.size() < 3
        || answer.at(1).userType() != QMetaType::Bool)
        return fail(tr("Неверный ответ сервера опроса на запрос getResult"));
    if (!answer.at(1).toBool()) {
        if (m_token.isCanceled())
            return fail(tr("Пустой результат от сервера опроса"));
        return fail(answer.at(2).toString());
    }
    const QVariantList data = answer.at(2).toList();
    if (data.isEmpty())
        return fail(tr("Данные не считаны"));
    const QVariant tables = data.first();
    if (tables.userType() != qMetaTypeId<ZeltoTableMap>())
        return fail(tr("Неверный ответ сервера опроса на запрос getResult: данные не являются набором таблиц"));
    setResult(tables.value<ZeltoTableMap>());
    return true;
}
