#include "answerexplainer.h"

#include "zeltotable.h"

#include <QHash>
#include <QStringList>

#include <cmath>

namespace {

// Who owns the id that a command takes first, and how the server is asked
// for it.
struct Owner {
    const char *getter;
    const char *missing;   // %1: the id
};

const Owner kNode = {"getNode", QT_TRANSLATE_NOOP("AnswerExplainer", "Узел %1 не найден или недоступен")};
const Owner kTask = {"getTask", QT_TRANSLATE_NOOP("AnswerExplainer", "Задача %1 не найдена или недоступна")};
const Owner kGroup = {"getGroup", QT_TRANSLATE_NOOP("AnswerExplainer", "Группа %1 не найдена или недоступна")};
const Owner kUser = {"getUser", QT_TRANSLATE_NOOP("AnswerExplainer", "Пользователь %1 не найден или недоступен")};

const QHash<QString, const Owner *> &owners()
{
    static const QHash<QString, const Owner *> table = {
        {QStringLiteral("getNode"), &kNode},          {QStringLiteral("getArchive"), &kNode},
        {QStringLiteral("getFillData"), &kNode},      {QStringLiteral("getSettingData"), &kNode},
        {QStringLiteral("getJournalData"), &kNode},   {QStringLiteral("getCheckLog"), &kNode},
        {QStringLiteral("getCheckErrors"), &kNode},   {QStringLiteral("getCheckParams"), &kNode},
        {QStringLiteral("getReportData"), &kNode},    {QStringLiteral("getTask"), &kTask},
        {QStringLiteral("getTaskLog"), &kTask},       {QStringLiteral("getTaskData"), &kTask},
        {QStringLiteral("getGroup"), &kGroup},        {QStringLiteral("getUser"), &kUser},
        {QStringLiteral("getUserData"), &kUser},      {QStringLiteral("getUserAccess"), &kUser},
        {QStringLiteral("getUserGroups"), &kUser},
    };
    return table;
}

// The archives of a node, as the server names them.
const QStringList &archiveNames()
{
    static const QStringList names = {QStringLiteral("current_data"), QStringLiteral("month_data"),
                                      QStringLiteral("month_totals"), QStringLiteral("day_data"),
                                      QStringLiteral("day_totals"),   QStringLiteral("hour_data")};
    return names;
}

bool isId(const QVariant &value)
{
    const double number = value.toDouble();
    return Zelto::isNumber(value) && std::isfinite(number) && number == std::floor(number);
}

} // namespace

bool AnswerExplainer::isEmpty(const QVariant &result)
{
    if (!result.isValid() || result.isNull())
        return true;
    if (result.userType() == qMetaTypeId<ZeltoTable>())
        return result.value<ZeltoTable>().rowCount() == 0;
    if (result.userType() == qMetaTypeId<ZeltoTableMap>())
        return result.value<ZeltoTableMap>().isEmpty();
    if (result.userType() == QMetaType::QVariantMap)
        return result.toMap().isEmpty();
    if (result.userType() == QMetaType::QVariantList || result.userType() == QMetaType::QStringList)
        return result.toList().isEmpty();
    return false;
}

QString AnswerExplainer::emptyResult(const QString &command, const QVariantList &params, const QVariant &result,
                                     const Call &call)
{
    const Owner *owner = owners().value(command);
    if (!owner || !isEmpty(result) || params.isEmpty() || !isId(params.at(0)))
        return QString();
    if (command == QLatin1String("getArchive") && params.size() > 1
        && !archiveNames().contains(params.at(1).toString()))
        return tr("Нет такого архива: %1 (архивы: %2)")
            .arg(params.at(1).toString(), archiveNames().join(QLatin1String(", ")));
    const QString id = QString::number(params.at(0).toLongLong());
    const QString missing = tr(owner->missing).arg(id);
    if (command == QLatin1String(owner->getter))
        return missing;
    QVariant record;
    if (!call(QLatin1String(owner->getter), {params.at(0)}, record))
        return QString();   // the owner is not ours to look at: the empty result stands
    return isEmpty(record) ? missing : QString();
}

QString AnswerExplainer::serverError(const QString &message, bool loggedIn)
{
    static const QString refusal = QStringLiteral("Недостаточно прав для выполнения команды");
    if (loggedIn || message != refusal)
        return message;
    return message + QLatin1Char('\n') + tr("Войдите: -u ЛОГИН -w ПАРОЛЬ");
}
