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

bool isValidId(const QVariant &id)
{
    switch (id.userType()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::QString:
        return true;
    default:
        return !id.isValid();
    }
}

} // namespace

bool ZeltoRpcDispatcher::handle(const QByteArray &message, QByteArray &reply)
{
    using namespace ZeltoRpcMessage;

    ZeltoJsonReader reader;
    QVariant parsed;
    if (!reader.read(message, parsed)) {
        const bool syntax = reader.status() == ZeltoJsonReader::SyntaxError;
        reply = error(QVariant(), syntax ? ParseError : InvalidRequest,
                      (syntax ? tr("Ошибка разбора JSON: %1") : tr("Неверное значение в запросе: %1"))
                          .arg(reader.errorString()));
        return true;
    }
    if (parsed.userType() != QMetaType::QVariantMap) {
        reply = error(QVariant(), InvalidRequest, tr("Запрос должен быть объектом JSON"));
        return true;
    }
    const QVariantMap request = parsed.toMap();
    const bool hasId = request.contains(QStringLiteral("id"));
    const QVariant id = request.value(QStringLiteral("id"));
    if (!isValidId(id)) {
        reply = error(QVariant(), InvalidRequest, tr("Идентификатор запроса должен быть числом или строкой"));
        return true;
    }
    const QVariant version = request.value(QStringLiteral("jsonrpc"));
    if (version.isValid() && version != QVariant(QStringLiteral("2.0"))) {
        reply = error(id, InvalidRequest, tr("Поддерживается только JSON-RPC 2.0"));
        return true;
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
    m_commandName = name;
    ZeltoSystem::instance()->clearError();
    const QVariant value = command->execute(params);
    reply = outcome(id, name, value, value.isValid() ? QString() : ZeltoSystem::instance()->lastError());
    return hasId;
}

QByteArray ZeltoRpcDispatcher::outcome(const QVariant &id, const QString &name, const QVariant &value,
                                       const QString &failure)
{
    using namespace ZeltoRpcMessage;

    if (!value.isValid())
        return error(id, CommandFailed, failure.isEmpty() ? tr("Команда %1 не выполнена").arg(name) : failure);
    QByteArray reply;
    QString encodeError;
    if (!result(id, value, reply, &encodeError))
        return error(id, CommandFailed, tr("Ошибка кодирования ответа: %1").arg(encodeError));
    return reply;
}
