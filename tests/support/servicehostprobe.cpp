// A minimal service for the service framework tests. It reports what the
// framework does to it on stdout, one line per event: starting, started,
// command N, stopping, stopped. Environment: PROBE_SERVICE_NAME (default
// "Orvex Probe Service"); PROBE_MANUAL_START (ManualStartup instead of
// AutoStartup); PROBE_START_DELAY_MS (start() waits this long in a nested
// event loop, as a start-up that waits for a reply would); PROBE_STOP_DELAY_MS
// (stop() takes this long, to let a test signal twice). Command 99 logs a
// warning, so that tests can see the log line format.

#include "qtservice.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cstdio>

static void report(const QByteArray &line) { std::fprintf(stdout, "%s\n", line.constData()); std::fflush(stdout); }

class ProbeService : public QtService<QCoreApplication>
{
public:
    ProbeService(int argc, char **argv, const QString &name) : QtService<QCoreApplication>(argc, argv, name)
    {
        setServiceDescription(QStringLiteral("Проверочная служба Orvex"));
        setStartupType(qEnvironmentVariableIsSet("PROBE_MANUAL_START") ? QtServiceController::ManualStartup
                                                                       : QtServiceController::AutoStartup);
    }

protected:
    void start() override
    {
        report("starting");
        const int delay = qEnvironmentVariableIntValue("PROBE_START_DELAY_MS");
        if (delay > 0) {
            QEventLoop wait;
            bool waited = false;
            QTimer::singleShot(delay, &wait, [&] { waited = true; wait.quit(); });
            wait.exec();
            if (!waited)
                report("start interrupted");
        }
        logMessage(QStringLiteral("probe started\nsecond line"), Information);
        report("started");
    }

    void stop() override
    {
        report("stopping");
        QThread::msleep(ulong(qMax(0, qEnvironmentVariableIntValue("PROBE_STOP_DELAY_MS"))));
        report("stopped");
    }

    void processCommand(int code) override
    {
        if (code == 99)
            logMessage(QStringLiteral("probe warning"), Warning);
        report("command " + QByteArray::number(code));
    }
};

int main(int argc, char **argv)
{
    ProbeService service(argc, argv, qEnvironmentVariable("PROBE_SERVICE_NAME", QStringLiteral("Orvex Probe Service")));
    return service.exec();
}
