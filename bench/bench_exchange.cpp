// A node with five years of hourly records (43,800 rows of a meter with four
// heating systems, as the device polling simulator reports them), five
// years of daily and monthly records, ten current readings and two polling
// tasks, moved from one server to another:
// - in process, step by step: assembling the package, writing its XML,
//   reading the XML back, storing it as a new node;
// - over the wire, through the real orvex-server's XML-RPC gateway:
//   exportNodes on one server, importNodes of that document on another
//   (a new node each run) and again onto the node it made (a merge);
// - the size of the package document;
// - getTaskState round trips per second with one client opening one HTTP
//   connection per call, as stock XML-RPC clients do.
// Each time is given as the best and the median of three runs.

#include "archivestore.h"
#include "benchserver.h"
#include "benchtables.h"
#include "benchdatabase.h"
#include "nodeexport.h"
#include "nodeimport.h"
#include "nodes.h"
#include "tablexmlreader.h"
#include "tablexmlwriter.h"
#include "tasks.h"
#include "zelto.h"
#include "zeltoenvironment.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QXmlStreamReader>

#include <algorithm>

#include <malloc.h>

namespace {

using namespace Bench;

const int kDays = 5 * 365;
const int kRuns = 3;
const int kRoundTrips = 2000;

void initDatabase(const QString &home, quint16 xPort)
{
    ZeltoEnvironment::set("ORVEX_HOME", home);
    openDatabase();
    putSetting(QStringLiteral("xPort"), xPort);
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

int makeNode()
{
    const int nodeId = Nodes::save(serverContext(), {{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                    {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                                    {QStringLiteral("number"), 1},
                                    {QStringLiteral("consumer"), QStringLiteral("ООО \"Тепло\"")}}).valueOr(-1);
    if (nodeId < 0)
        fail("node");
    const QDateTime start = BenchTables::start();
    ZeltoTable info;
    info.appendRow(QVariantMap{{QStringLiteral("id"), nodeId}});
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("info"), info);
    tables.insert(QStringLiteral("hour_data"), BenchTables::fiveYears());
    tables.insert(QStringLiteral("day_data"), BenchTables::meterArchive(MeterValues::DayData, start, kDays));
    tables.insert(QStringLiteral("month_data"), BenchTables::meterArchive(MeterValues::MonthData, start, kDays / 30));
    tables.insert(QStringLiteral("current_data"),
                  BenchTables::meterArchive(MeterValues::CurrentData, start.addDays(kDays - 1), 10));
    if (const ZeltoStatus done = ArchiveStore::save(serverContext(), tables, false); !done.ok())
        fail("archives", done);
    for (const char *port : {"COM3", "COM4"}) {
        const QVariantMap task = {
            {QStringLiteral("node_id"), nodeId},
            {QStringLiteral("channel"), QVariantMap{{QStringLiteral("code"), QStringLiteral("COM")},
                                                    {QStringLiteral("port"), QLatin1String(port)}}},
            {QStringLiteral("archives"), QStringList{QStringLiteral("hourData"), QStringLiteral("dayData")}},
            {QStringLiteral("timetable"), QVariantMap{{QStringLiteral("mode"), QStringLiteral("hourly")},
                                                      {QStringLiteral("minute"), 5}}}};
        if (Tasks::save(serverContext(), task).valueOr(-1) < 0)
            fail("task");
    }
    return nodeId;
}

// One XML-RPC call on a connection of its own: the answer's document.
QByteArray post(quint16 port, const QByteArray &body)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        fail("XML-RPC connect");
    socket.write("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: "
                 + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    while (socket.state() == QAbstractSocket::ConnectedState)
        socket.waitForReadyRead(120000);
    const QByteArray answer = socket.readAll();
    const int split = answer.indexOf("\r\n\r\n");
    if (split < 0 || answer.contains("<fault>"))
        fail("XML-RPC call");
    return answer.mid(split + 4);
}

QByteArray callBody(const char *method, const QStringList &params)
{
    QByteArray body = "<?xml version=\"1.0\"?><methodCall><methodName>" + QByteArray(method) + "</methodName><params>";
    for (const QString &param : params)
        body += "<param><value>" + param.toUtf8() + "</value></param>";
    return body + "</params></methodCall>";
}

QString string(const QString &text)
{
    return QStringLiteral("<string>") + text.toHtmlEscaped() + QStringLiteral("</string>");
}

QString integer(int value)
{
    return QStringLiteral("<int>%1</int>").arg(value);
}

// The first string or int of the answer.
QString answerText(const QByteArray &document)
{
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement
            && (xml.name() == QLatin1String("string") || xml.name() == QLatin1String("int")))
            return xml.readElementText();
    }
    fail("XML-RPC answer");
}

// kRuns runs of a step: wall time, the CPU time of this thread and, for a
// call over the wire, of the server's main thread; the best and the median
// of each. The machine is shared: CPU times say what the step costs when
// wall times stretch.
struct Timing
{
    QVector<double> wall, cpu, serverCpu;

    // step runs once per call; after, when given, undoes it untimed.
    Timing(const std::function<void()> &step, const Server *server = nullptr,
           const std::function<void()> &after = std::function<void()>())
    {
        for (int run = 0; run < kRuns; ++run) {
            const double serverStart = server ? server->mainThreadCpuMs() : 0;
            const double cpuStart = threadCpuMs();
            QElapsedTimer t;
            t.start();
            step();
            wall.append(ms(t));
            cpu.append(threadCpuMs() - cpuStart);
            if (server)
                serverCpu.append(server->mainThreadCpuMs() - serverStart);
            if (after)
                after();
        }
        for (QVector<double> *times : {&wall, &cpu, &serverCpu})
            std::sort(times->begin(), times->end());
    }

    static void printTimes(const QVector<double> &times)
    {
        if (times.isEmpty())
            std::printf("%13s", "");
        else
            std::printf("%7.0f%6.0f", times.first(), times.at(times.size() / 2));
    }

    void print(const char *name, const char *target = "") const
    {
        std::printf("%-42s", name);
        printTimes(wall);
        printTimes(cpu);
        printTimes(serverCpu);
        std::printf("%s\n", target);
    }
};

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    QCoreApplication app(argc, argv);
    const Home source, target;
    const quint16 sourcePort = freePort(), targetPort = freePort();

    // In process, step by step.
    initDatabase(source.path(), sourcePort);
    const int nodeId = makeNode();
    QVariant package;
    const Timing assemble([&] {
        const ZeltoResult<ZeltoTableMap> exported = NodeExport::exportNode(serverContext(), nodeId);
        if (!exported.ok())
            fail("export");
        package = QVariant::fromValue(exported.value());
    });
    QString document;
    const Timing write([&] {
        TableXmlWriter writer;
        writer.writeNodesDocument({package});
        document = writer.text();
    });
    const int taskId = Tasks::mainTaskOfNode(serverContext(), nodeId).valueOr(-1);
    Database::destroy();

    initDatabase(target.path(), targetPort);
    QVariantList read;
    const Timing parse([&] {
        TableXmlReader reader(document);
        if (!reader.readNodesDocument())
            fail("read");
        read = reader.nodes();
    });
    int stored = -1;
    const Timing store([&] { stored = NodeImport::importNode(serverContext(), read.first()).valueOr(-1); }, nullptr,
                       [&] {
                           if (stored < 0 || !Nodes::remove(serverContext(), stored).ok())
                               fail("import");
                       });
    Database::destroy();

    // Over the wire.
    Server sourceServer(source.path()), targetServer(target.path());
    const QStringList login = {string(QStringLiteral("admin")), string(QStringLiteral("tavro"))};
    const QString sourceToken = string(answerText(post(sourcePort, callBody("login", login))));
    const QString targetToken = string(answerText(post(targetPort, callBody("login", login))));
    const QByteArray exportCall = callBody("exportNodes", {sourceToken, QStringLiteral("<array><data><value>")
                                                                             + integer(nodeId)
                                                                             + QStringLiteral("</value></data></array>")});
    QString exported;
    const Timing exportNodes([&] { exported = answerText(post(sourcePort, exportCall)); }, &sourceServer);
    const QByteArray importCall = callBody("importNodes", {targetToken, string(exported)});
    auto importOnce = [&] {
        if (answerText(post(targetPort, importCall)) != QLatin1String("1"))
            fail("importNodes");
    };
    const Timing importNodes(importOnce, &targetServer, [&] {
        if (!call(targetServer.client(), QStringLiteral("getNodes"), {}))
            fail("getNodes");
        const int id = targetServer.client().result().value<ZeltoTable>().value(0, QStringLiteral("id")).toInt();
        if (!call(targetServer.client(), QStringLiteral("removeNode"), {id}))
            fail("removeNode");
    });
    importOnce();
    const Timing merge(importOnce, &targetServer);

    const QByteArray stateCall = callBody("getTaskState", {sourceToken, integer(taskId)});
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kRoundTrips; ++i) {
        if (!post(sourcePort, stateCall).contains("<struct>"))
            fail("getTaskState");
    }
    const double roundTripMs = ms(t);

    const QByteArray utf8 = exported.toUtf8();
    std::printf("node with %d hourly, %d daily, %d monthly rows, 2 tasks\n", BenchTables::kHours, kDays, kDays / 30);
    std::printf("%-42s%7.1f\n", "package document, MiB", utf8.size() / 1048576.0);
    std::printf("%-42s%7.1f\n", "  zlib-compressed, MiB", qCompress(utf8, 6).size() / 1048576.0);
    std::printf("%-42s%13s%13s%13s\n", "ms of 3 runs: best, median", "wall", "CPU", "server CPU");
    std::printf("in process:\n");
    assemble.print("  assemble the package (read the database)");
    write.print("  write its XML");
    parse.print("  read the XML");
    store.print("  store it as a new node");
    std::printf("over the wire (orvex-server, XML-RPC); CPU of the client:\n");
    exportNodes.print("  exportNodes", "   (target < 2000)");
    importNodes.print("  importNodes, new node", "   (target < 3000)");
    merge.print("  importNodes onto the same node (merge)");
    std::printf("%-42s%7.0f\n", "getTaskState round trips per second", kRoundTrips / (roundTripMs / 1000.0));
    printTimeZone();
    return 0;
}
