#pragma once

#include <QCoreApplication>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>

// What a server's answer means to the person who typed the command. The
// server answers a node, task, group or user it does not have (or that the
// user may not see), and an archive name it does not know, with an empty
// result, as its clients expect; on a terminal that reads as "nothing there"
// when it is a typo. And a refusal to a client that has not logged in means
// that a login is needed.
class AnswerExplainer
{
    Q_DECLARE_TR_FUNCTIONS(AnswerExplainer)

public:
    // Asks the server for the result of a command; false when it fails.
    using Call = std::function<bool(const QString &command, const QVariantList &params, QVariant &result)>;

    // The mistake an empty result of command tells of ("Узел 999 не найден
    // или недоступен", "Нет такого архива: hourdata ..."); empty when the
    // result stands as it is. The owner of the id is looked up with call
    // only when the result is empty.
    static QString emptyResult(const QString &command, const QVariantList &params, const QVariant &result,
                               const Call &call);

    // The server's error message, with what to do when it is a refusal to a
    // client that has not logged in.
    static QString serverError(const QString &message, bool loggedIn);

    static bool isEmpty(const QVariant &result);
};
