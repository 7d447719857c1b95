// zelto-test-server [-p tcpPort] [-w webPort]: the runtime's RPC server with
// a handful of test commands. Port 0 picks a free port; the chosen ports are
// printed as the first line: "listening tcp=N web=M".

#include "qtservice.h"
#include "testcommand.h"
#include "zelto.h"
#include "zeltoserver.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <cstdio>

namespace {

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

// Every command is a lambda in this one table.
TestCommand commands[] = {
    {"echo", [](const QVariantList &p) { return QVariant(p); }},
    {"identity", [](const QVariantList &p) { return p.at(0).isValid() ? p.at(0) : QVariant(QString()); }, 1},
    {"noop", [](const QVariantList &) { return QVariant(true); }},
    {"fail", [](const QVariantList &p) -> ZeltoResult<QVariant> { return ZeltoStatus::failed(p.at(0).toString()); }, 1},
    {"sleep", [](const QVariantList &p) { QThread::msleep(ulong(qBound(0, p.at(0).toInt(), 10000))); return p.at(0); }, 1},
    {"makeTable", [](const QVariantList &p) {
         return QVariant::fromValue(makeTable(qBound(0, p.at(0).toInt(), 100000), qBound(1, p.at(1).toInt(), 100)));
     }, 2},
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
