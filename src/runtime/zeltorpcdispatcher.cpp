#include "zeltorpcdispatcher.h"

#include "zeltocommand.h"
#include "zeltojsonreader.h"
#include "zeltorpcmessage.h"
#include "zeltosystem.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ZeltoServer", text);
}

// JSON-RPC allows any number or string as the id (and null).
bool isValidId(const QVariant &id)
{
    switch (id.userType()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
        return true;
    default:
        return !id.isValid();
    }
}

// The dispatcher whose command runs now asked for tables in stream form.
bool g_streamTablesWanted = false;

} // namespace

bool ZeltoRpcDispatcher::streamTablesWanted()
{
    return g_streamTablesWanted;
}

bool ZeltoRpcDispatcher::handle(const QByteArray &message, QByteArray &reply)
{
    using namespace ZeltoRpcMessage;

    // Every early return below answers with a failure.
    m_failed = true;
    ZeltoJsonReader reader;
    reader.setCapturedKey(QStringLiteral("id"));
    QVariant parsed;
    if (!reader.read(message, parsed)) {
        const bool syntax = reader.status() == ZeltoJsonReader::SyntaxError;
        reply = error(QByteArray(), syntax ? ParseError : InvalidRequest,
                      (syntax ? tr("Ошибка разбора JSON: %1") : tr("Неверное значение в запросе: %1"))
                          .arg(reader.errorString()));
        return true;
    }
    if (parsed.userType() != QMetaType::QVariantMap) {
        reply = error(QByteArray(), InvalidRequest, tr("Запрос должен быть объектом JSON"));
        return true;
    }
    const QVariantMap request = parsed.toMap();
    const bool hasId = request.contains(QStringLiteral("id"));
    if (!isValidId(request.value(QStringLiteral("id")))) {
        reply = error(QByteArray(), InvalidRequest, tr("Идентификатор запроса должен быть числом или строкой"));
        return true;
    }
    const QByteArray id = reader.capturedText();
    // The version is the string "2.0"; a number 2.0 would compare equal as a variant.
    const auto version = request.constFind(QStringLiteral("jsonrpc"));
    if (version != request.constEnd()
        && (version->userType() != QMetaType::QString || version->toString() != QLatin1String("2.0"))) {
        reply = error(id, InvalidRequest, tr("Поддерживается только JSON-RPC 2.0"));
        return true;
    }
    // "tables": "json" (the default) or "stream"; older servers ignore it.
    const auto tables = request.constFind(QStringLiteral("tables"));
    if (tables != request.constEnd()) {
        const QString form = tables->userType() == QMetaType::QString ? tables->toString() : QString();
        if (form != QLatin1String("json") && form != QLatin1String("stream")) {
            reply = error(id, InvalidRequest, tr("Неверное значение tables: ожидается \"json\" или \"stream\""));
            return true;
        }
        m_streamTables = form == QLatin1String("stream");
    }
    const QVariant method = request.value(QStringLiteral("method"));
    if (method.userType() != QMetaType::QString || method.toString().isEmpty()) {
        reply = error(id, InvalidRequest, tr("В запросе не указана команда"));
        return true;
    }
    const QVariant paramsValue = request.value(QStringLiteral("params"));
    if (paramsValue.isValid() && paramsValue.userType() != QMetaType::QVariantList) {
        reply = error(id, InvalidRequest, tr("Параметры команды должны быть массивом"));
        return true;
    }
    const QVariantList params = paramsValue.toList();
    const QString name = method.toString();

    ZeltoCommand *command = ZeltoCommand::find(name);
    if (!command) {
        reply = error(id, MethodNotFound, tr("Неизвестная команда: %1").arg(name));
        return hasId;
    }
    m_commandName = name;
    if (command->paramCount() >= 0 && command->paramCount() != params.size()) {
        reply = error(id, InvalidParams,
                      tr("Неверное число параметров команды %1: ожидается %2, передано %3")
                          .arg(name)
                          .arg(command->paramCount())
                          .arg(params.size()));
        return hasId;
    }

    m_requestId = id;
    m_requestHasId = hasId;
    const bool outer = g_streamTablesWanted;
    g_streamTablesWanted = m_streamTables;
    const ZeltoResult<QVariant> result = command->call(params);
    g_streamTablesWanted = outer;
    reply = outcome(id, name, result, m_streamTables, &m_failed);
    return hasId;
}

int ZeltoRpcDispatcher::errorCode(ZeltoStatus::Kind kind)
{
    using namespace ZeltoRpcMessage;

    // The codes are part of the protocol (docs/protocol.md): a kind keeps
    // its code for good. Failed keeps the code every failure had before
    // the kinds, so that old clients that only test for "error" still work.
    switch (kind) {
    case ZeltoStatus::Ok:
    case ZeltoStatus::Failed:
        return CommandFailed;
    case ZeltoStatus::NotLoggedIn:
        return NotLoggedIn;
    case ZeltoStatus::NoRight:
        return NoRight;
    case ZeltoStatus::NotFound:
        return NotFound;
    case ZeltoStatus::Conflict:
        return Conflict;
    case ZeltoStatus::Busy:
        return Busy;
    case ZeltoStatus::Unavailable:
        return Unavailable;
    case ZeltoStatus::Storage:
        return StorageFailed;
    case ZeltoStatus::InvalidParameter:
        return InvalidParams;
    }
    return CommandFailed;
}

QByteArray ZeltoRpcDispatcher::outcome(const QByteArray &id, const QString &name, const ZeltoResult<QVariant> &value,
                                       bool streamTables, bool *failed)
{
    using namespace ZeltoRpcMessage;

    bool unasked = true;
    bool &isFailure = failed ? *failed : unasked;
    isFailure = true;
    if (!value.ok() || !value.value().isValid()) {
        const ZeltoStatus &status = value.status();
        const QString text = status.message();
        return error(id, errorCode(status.kind()), text.isEmpty() ? tr("Команда %1 не выполнена").arg(name) : text);
    }
    QByteArray reply;
    QString encodeError;
    if (!result(id, value.value(), reply, &encodeError, streamTables))
        return error(id, CommandFailed, tr("Ошибка кодирования ответа: %1").arg(encodeError));
    isFailure = false;
    return reply;
}
