#pragma once

#include "qtservicecontroller.h"

#include <QByteArray>
#include <QString>

class QtServiceSignalWatcher;
class QtServiceControlServer;

// The running side of a service. exec() interprets the service options of
// the command line, creates the application, opens the control socket, calls
// start() from the event loop and stop() on SIGTERM or SIGINT.
//
// Not a QObject: a service class derives from QObject and from QtService<>.
class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error, Warning, Information };

    // argv must stay valid for the lifetime of the object, as for
    // QCoreApplication.
    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();

    QString serviceName() const;

    void setServiceDescription(const QString &description);

    // Lines about the program's own options, added to what -help prints.
    void setOptionsHelp(const QString &lines) { m_optionsHelp = lines; }

    QtServiceController::StartupType startupType() const;
    void setStartupType(QtServiceController::StartupType type);

    // Handles -v/-version, -systemd-unit and -h/-help and returns 0;
    // otherwise runs the service in the foreground and returns the event
    // loop's result (0 after SIGTERM or SIGINT), or 1 when it cannot start,
    // for instance because a service of the same name already runs.
    int exec();

    // One line to syslog (ident = the service name) and to stderr. id,
    // category and data belong to the Windows event log and are not used.
    void logMessage(const QString &message, MessageType type = Success, int id = 0, uint category = 0,
                    const QByteArray &data = QByteArray());

    // The service object of this process, or null: process-wide, as the
    // operating system's service control talks to the process.
    static QtServiceBase *instance();

protected:
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

    // Runs once from the event loop, after the control socket is open.
    virtual void start() = 0;
    // Runs once on the first SIGTERM or SIGINT, before the event loop ends.
    virtual void stop();
    // Linux has no pause and resume requests; kept for service classes that
    // override them.
    virtual void pause();
    virtual void resume();
    // A code from QtServiceController::sendCommand, on the main thread.
    virtual void processCommand(int code);

private:
    QtServiceBase(const QtServiceBase &) = delete;
    QtServiceBase &operator=(const QtServiceBase &) = delete;

    // -1 when the argument is not a service option.
    int handleOption(const QString &option) const;
    int runService();
    int refuseToStart(const QString &reason);
    void beginStart();
    void onTermination(int signalNumber);
    void finishStop();

    int m_argc;
    char **m_argv;
    QString m_name;
    QString m_description;
    QString m_optionsHelp;
    QtServiceController::StartupType m_startupType = QtServiceController::ManualStartup;
    // Valid while runService() runs.
    QtServiceControlServer *m_control = nullptr;
    bool m_starting = false; // inside start()
    bool m_started = false;  // start() has returned
    bool m_stopping = false; // a termination signal has come
};
