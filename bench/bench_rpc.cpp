// Requests per second of a trivial command over loopback TCP: one client,
// one request at a time, then the same client pipelining; then how long a
// second client waits for its answers while the first one floods.

#include "zeltoclient.h"
#include "zeltocommand.h"
#include "zeltoserver.h"

#include "zelto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <cstdio>

namespace {

class PingCommand : public ZeltoCommand
{
public:
    PingCommand() : ZeltoCommand(QStringLiteral("ping"), -1) {}
    ZeltoResult<QVariant> call(const QVariantList &) override { return QVariant(true); }
};

PingCommand ping;

const int kSequential = 20000;
const int kPipelined = 100000;

double sequential(quint16 port)
{
    ZeltoClient client;
    client.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!client.waitForConnected(10000))
        return 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kSequential; ++i) {
        if (!client.request(QStringLiteral("ping")) || !client.waitForResponse(10000))
            return 0;
    }
    return kSequential * 1000.0 / qMax<qint64>(timer.elapsed(), 1);
}

double pipelined(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(10000))
        return 0;
    QByteArray burst;
    for (int i = 1; i <= kPipelined; ++i)
        burst += "{\"jsonrpc\":\"2.0\",\"id\":" + QByteArray::number(i) + ",\"method\":\"ping\"}\n";
    QElapsedTimer timer;
    timer.start();
    socket.write(burst);
    int replies = 0;
    while (replies < kPipelined) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(0);
        if (!socket.waitForReadyRead(10000))
            return 0;
        const QByteArray data = socket.readAll();
        replies += data.count('\n');
    }
    return kPipelined * 1000.0 / qMax<qint64>(timer.elapsed(), 1);
}

struct Latency
{
    double medianMs = 0;
    double worstMs = 0;
};

// Ping round trips of a second client while pipelined() floods the server.
Latency latencyUnderFlood(quint16 port)
{
    double rate = 0;
    QThread *flood = QThread::create([&]() { rate = pipelined(port); });
    flood->start();
    QThread::msleep(50);   // the flood is in full swing
    ZeltoClient client;
    client.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVector<double> times;
    if (client.waitForConnected(10000)) {
        while (!flood->isFinished() && times.size() < 1000) {
            QElapsedTimer timer;
            timer.start();
            if (!client.request(QStringLiteral("ping")) || !client.waitForResponse(10000))
                break;
            times.append(timer.nsecsElapsed() / 1e6);
        }
    }
    flood->wait();
    delete flood;
    Latency latency;
    if (times.isEmpty() || rate == 0)
        return latency;
    std::sort(times.begin(), times.end());
    latency.medianMs = times.at(times.size() / 2);
    latency.worstMs = times.last();
    return latency;
}

} // namespace

int main(int argc, char **argv)
{
    Zelto::pinTimeZone();  // as the server does
    QCoreApplication app(argc, argv);
    if (!ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost))
        return 1;
    const quint16 port = ZeltoServer::global()->tcpPort();
    double oneAtATime = 0, pipelinedRate = 0;
    Latency latency;
    QThread *client = QThread::create([&]() {
        oneAtATime = sequential(port);
        pipelinedRate = pipelined(port);
        latency = latencyUnderFlood(port);
    });
    QObject::connect(client, &QThread::finished, &app, &QCoreApplication::quit);
    client->start();
    app.exec();
    client->wait();
    delete client;
    std::printf("rpc one at a time: %.0f requests/s (%d requests)\n", oneAtATime, kSequential);
    std::printf("rpc pipelined: %.0f requests/s (%d requests)\n", pipelinedRate, kPipelined);
    std::printf("rpc second client during a pipelined flood: median %.2f ms, worst %.2f ms\n", latency.medianMs,
                latency.worstMs);
    return oneAtATime > 0 && pipelinedRate > 0 && latency.worstMs > 0 ? 0 : 1;
}
