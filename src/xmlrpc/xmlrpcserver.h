#pragma once

#include "xmlrpctokens.h"
#include "zeltoclock.h"
#include "zeltostatus.h"

#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>

class Database;
class MaiaXmlRpcServer;

// The XML-RPC methods for other programs (billing, SCADA scripts, browser
// pages), on a port the service gives it (the setting "xPort").
// login gives a token; every other method takes it first, and runs as that
// user: it signs the token's user in with the user's current row and
// rights, in a session of its own (never an RPC client's), checks the
// method's right, does its work through the server's own commands and
// logs out again. A token ends with logout, a change of its user's
// password, the user's removal, or "xmlRpcTokenIdleTime" minutes unused.
// Readers return a table document of the exchange format as one string;
// failures are faults with code 0 and the server's message.
//
// Settings: "xmlRpcLowerCaseDateTime" (false) writes date-times as
// "datetime.iso8601" for clients made for that form; "xmlRpcRequestTimeout"
// (30000 ms) is the time a client has to send its request;
// "xmlRpcTokenIdleTime" (60 minutes) is how long a token may go unused;
// "requestBufferLimit" (256 MiB) bounds what the listener holds for
// requests not yet answered.
class XmlRpcServer : public QObject
{
    Q_OBJECT

public:
    // Settings come from database; tokens go idle by clock's time.
    explicit XmlRpcServer(Database *database, const QHostAddress &address = QHostAddress::Any,
                          QObject *parent = nullptr, ZeltoClock *clock = ZeltoClock::system());

    // Listens on the port (instead of the one before), bound to the address
    // given at construction; a port that cannot be opened is logged and
    // gives false.
    bool listen(quint16 port);
    // Stops listening and drops the connections being served.
    void close();
    bool isListening() const;
    quint16 port() const;

public slots:
    // login(name: string, password: string) -> string (the token)
    QVariant login(const QString &name, const QString &password);
    // logout(token: string) -> empty value (the token ends; an unknown one too)
    QVariant logout(const QString &token);
    // getGroups(token: string) -> string (table document)
    QVariant getGroups(const QString &token);
    // getNodes(token: string) -> string (table document)
    QVariant getNodes(const QString &token);
    // getCheckLog(token: string, nodeId: int, firstTime: dateTime, lastTime: dateTime) -> string (table document)
    QVariant getCheckLog(const QString &token, int nodeId, const QDateTime &firstTime, const QDateTime &lastTime);
    // getArchive(token: string, nodeId: int, code: string, firstTime: dateTime, lastTime: dateTime) -> string
    QVariant getArchive(const QString &token, int nodeId, const QString &code, const QDateTime &firstTime,
                        const QDateTime &lastTime);
    // exportNodes(token: string, ids: array of int) -> string (nodes document)
    QVariant exportNodes(const QString &token, const QVariantList &ids);
    // importNodes(token: string, xml: string) -> int (nodes imported)
    QVariant importNodes(const QString &token, const QString &xml);
    // getTasks(token: string) -> string (table document, with the run states)
    QVariant getTasks(const QString &token);
    // startMainTask(token: string, nodeId: int) -> int (the task started)
    QVariant startMainTask(const QString &token, int nodeId);
    // startTask(token: string, taskId: int) -> empty value
    QVariant startTask(const QString &token, int taskId);
    // cancelTask(token: string, taskId: int) -> empty value
    QVariant cancelTask(const QString &token, int taskId);
    // getTaskState(token: string, taskId: int) -> struct
    QVariant getTaskState(const QString &token, int taskId);

private slots:
    void onPropertyChanged(const QString &name, const QVariant &value);

private:
    // Runs work as the token's user, checking right first when one is
    // given: work's result, or its failure as a fault.
    QVariant call(const QString &token, const QString &right, const std::function<ZeltoResult<QVariant>()> &work);
    // A reader: the command's table as a table document.
    QVariant readTable(const QString &token, const QString &command, const QVariantList &params);
    // A command of the server's command table, as a client would call it.
    static ZeltoResult<QVariant> runCommand(const QString &command, const QVariantList &params);
    // A fault with code 0 and the failure's text.
    static QVariant fault(const ZeltoStatus &status);

    QPointer<Database> m_database;   // given at construction; the service keeps it open while this lives
    const QHostAddress m_address;
    MaiaXmlRpcServer *m_listener = nullptr;
    ZeltoClock *m_clock;
    XmlRpcTokens m_tokens;
};
