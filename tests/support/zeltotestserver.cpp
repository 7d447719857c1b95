// zelto-test-server [-p tcpPort] [-w webPort]: the runtime's RPC server with
// a handful of test commands. Port 0 picks a free port; the chosen ports are
// printed as the first line: "listening tcp=N web=M".

#include "qtservice.h"
#include "zelto.h"
#include "zeltocommand.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <cstdio>

namespace {

// Every command is a lambda in this one table.
struct LambdaCommand : ZeltoCommand
{
    using Body = ZeltoResult<QVariant> (*)(const QVariantList &);
    LambdaCommand(const char *name, int count, Body body) : ZeltoCommand(QString::fromLatin1(name), count), m_body(body) {}
    ZeltoResult<QVariant> call(const QVariantList &params) override { return m_body(params); }
    const Body m_body;
};

ZeltoTable makeTable(int rows, int columns)
{
    QStringList names{QStringLiteral("date")};
    for (int c = 1; c < columns; ++c)
        names.append(QStringLiteral("S1_p%1").arg(c));
    ZeltoTable table(names);
    for (int r = 0; r < rows; ++r) {
        QVariantList row{QDateTime(QDate(2024, 1, 1), QTime(0, 0)).addSecs(3600 * r)};
        for (int c = 1; c < columns; ++c)
            row.append(r * 0.5 + c);
        table.appendRow(row);
    }
    return table;
}

LambdaCommand commands[] = {
    {"echo", -1, [](const QVariantList &p) -> ZeltoResult<QVariant> { return QVariant(p); }},
    {"identity", 1, [](const QVariantList &p) -> ZeltoResult<QVariant> { return p.at(0).isValid() ? p.at(0) : QVariant(QString()); }},
    {"noop", -1, [](const QVariantList &) -> ZeltoResult<QVariant> { return QVariant(true); }},
    {"fail", 1, [](const QVariantList &p) -> ZeltoResult<QVariant> {
         return ZeltoStatus::failed(p.at(0).toString());
     }},
    {"clientId", 0, [](const QVariantList &) -> ZeltoResult<QVariant> { return QVariant(ZeltoServer::global()->clientId()); }},
    {"sleep", 1, [](const QVariantList &p) -> ZeltoResult<QVariant> {
         QThread::msleep(ulong(qBound(0, p.at(0).toInt(), 10000)));
         return p.at(0);
     }},
    {"makeTable", 2, [](const QVariantList &p) -> ZeltoResult<QVariant> {
         return QVariant::fromValue(makeTable(qBound(0, p.at(0).toInt(), 100000), qBound(1, p.at(1).toInt(), 100)));
     }},
};

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char **argv) : QtService<QCoreApplication>(argc, argv, QStringLiteral("Zelto Test Server"))
    {
        setServiceDescription(QStringLiteral("Тестовый сервер RPC"));
    }

protected:
    void start() override
    {
        const QStringList args = QCoreApplication::arguments();
        const auto option = [&](const char *name) {
            const int at = args.indexOf(QLatin1String(name));
            return at > 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : -1;
        };
        ZeltoServer *server = ZeltoServer::global();
        if (!server->listenTcp(quint16(qMax(0, option("-p"))), QHostAddress::LocalHost)
            || (option("-w") >= 0 && !server->listenWeb(quint16(option("-w")), QHostAddress::LocalHost)))
            QCoreApplication::exit(1);
        std::printf("listening tcp=%d web=%d\n", server->tcpPort(), server->webPort());
        std::fflush(stdout);
    }

    void stop() override
    {
        ZeltoServer::global()->close();
        std::printf("stopped\n");
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    TestService service(argc, argv);
    return service.exec();
}
