// orvex-cli: calls one command of an Orvex Data Server and prints the result.

#include "answerexplainer.h"
#include "cliarguments.h"
#include "reportarguments.h"
#include "reportcommand.h"
#include "shorttables.h"
#include "tableprinter.h"
#include "zelto.h"
#include "zeltoclient.h"
#include "zeltojsonwriter.h"
#include "zeltorpcmessage.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

enum ExitCode { ExitOk = 0, ExitErrorReply = 1, ExitUnreachable = 2, ExitUsage = 3 };

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// An error reply of the server is exit 1; a transport failure is exit 2.
int failure(const ZeltoClient &client, bool loggedIn)
{
    print(stderr, AnswerExplainer::serverError(client.errorString(), loggedIn) + QLatin1Char('\n'));
    return client.errorCode() != 0 ? ExitErrorReply : ExitUnreachable;
}

bool call(ZeltoClient &client, const QString &name, const QVariantList &params, int timeoutMs)
{
    return client.request(name, params) && client.waitForResponse(timeoutMs);
}

QString render(const QVariant &result, const CliArguments &args)
{
    if (args.table) {
        if (result.userType() == qMetaTypeId<ZeltoTable>()) {
            const ZeltoTable table = result.value<ZeltoTable>();
            int hidden = 0;
            const ZeltoTable shown = args.all ? table : ShortTables::narrowed(args.command, table, hidden);
            if (hidden > 0)
                print(stderr, QCoreApplication::translate("orvex-cli", "Показаны %1 из %2 полей; все поля: --all\n")
                                  .arg(shown.columnCount())
                                  .arg(table.columnCount()));
            return TablePrinter::render(shown);
        }
        // A record (a task's run state, a node) as one line per field.
        if (result.userType() == QMetaType::QVariantMap) {
            ZeltoTable fields({QCoreApplication::translate("orvex-cli", "поле"),
                               QCoreApplication::translate("orvex-cli", "значение")});
            const QVariantMap map = result.toMap();
            for (auto it = map.constBegin(); it != map.constEnd(); ++it)
                fields.appendRow(QVariantList{it.key(), it.value()});
            return TablePrinter::render(fields);
        }
        if (result.userType() == qMetaTypeId<ZeltoTableMap>()) {
            const ZeltoTableMap tables = result.value<ZeltoTableMap>();
            QString out;
            for (auto it = tables.constBegin(); it != tables.constEnd(); ++it)
                out += QLatin1String("[") + it.key() + QLatin1String("]\n") + TablePrinter::render(it.value()) + QLatin1Char('\n');
            return out;
        }
    }
    return QString::fromUtf8(ZeltoJsonWriter::toJson(result, true)) + QLatin1Char('\n');
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    QCoreApplication app(argc, argv);
    CliArguments args;
    if (!args.parse(app.arguments())) {
        print(stderr, args.error() + QLatin1Char('\n') + CliArguments::usage());
        return ExitUsage;
    }
    if (args.help) {
        print(stdout, CliArguments::usage());
        return ExitOk;
    }
    if (args.version) {
        print(stdout, QStringLiteral("orvex-cli " ORVEX_VERSION "\n"));
        return ExitOk;
    }

    ReportArguments report;
    const bool isReport = ReportArguments::isReportCommand(args.command);
    if (isReport && !report.parse(args.command, args.words)) {
        print(stderr, report.error() + QLatin1Char('\n') + ReportArguments::usage());
        return ExitUsage;
    }

    ZeltoClient client;
    // Whole archives come four times smaller and read faster so.
    client.setStreamTables(true);
    // Of several servers on one database only the active one opens its port:
    // the first that takes the connection is the one to ask.
    QStringList failures;
    for (const auto &server : args.servers()) {
        client.connectToHost(server.first, server.second);
        if (client.waitForConnected(qMin(args.timeoutMs, 10000)))
            break;
        failures.append(client.errorString());
    }
    if (!client.isConnected()) {
        print(stderr, failures.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        return ExitUnreachable;
    }
    if (args.hasLogin && !call(client, QStringLiteral("login"), {args.login, args.password}, args.timeoutMs))
        return failure(client, true);
    if (isReport)
        return ReportCommand(client, args.timeoutMs, args.hasLogin).run(report);
    if (!call(client, args.command, args.params, args.timeoutMs))
        return failure(client, args.hasLogin);
    const QVariant result = client.result();
    const QString mistake = AnswerExplainer::emptyResult(
        args.command, args.params, result, [&](const QString &name, const QVariantList &params, QVariant &out) {
            if (!call(client, name, params, args.timeoutMs))
                return false;
            out = client.result();
            return true;
        });
    if (!mistake.isEmpty()) {
        print(stderr, mistake + QLatin1Char('\n'));
        return ExitErrorReply;
    }
    print(stdout, render(result, args));
    return ExitOk;
}
