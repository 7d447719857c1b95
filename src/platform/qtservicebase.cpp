#include "qtservicebase.h"

#include "qtservicecontrolserver.h"
#include "qtservicesignalwatcher.h"
#include "qtserviceunitfile.h"
#include "zelto.h"
#include "zeltoclock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QTimer>

#include <cstdio>
#include <signal.h>
#include <syslog.h>

namespace {

QtServiceBase *s_instance = nullptr;

QString tr(const char *text)
{
    return QCoreApplication::translate("QtServiceBase", text);
}

// openlog keeps the pointer it is given, so every ident ever passed stays
// allocated until the process ends.
const char *syslogIdent(const QString &name)
{
    static QHash<QString, QByteArray> *idents = new QHash<QString, QByteArray>;
    if (name.isEmpty())
        return nullptr;
    auto it = idents->find(name);
    if (it == idents->end())
        it = idents->insert(name, name.toUtf8());
    return it->constData();
}

// openlog and the ident it keeps are shared by the whole process.
QMutex &syslogMutex()
{
    static QMutex mutex;
    return mutex;
}

void openSyslog(const QString &name)
{
    ::openlog(syslogIdent(name), LOG_PID, LOG_DAEMON);
}

QString programPath(char **argv, int argc)
{
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!self.isEmpty())
        return self;
    if (argc > 0 && argv && argv[0])
        return QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
    return QString();
}

void printOut(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QString signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    default:
        return QString::number(signalNumber);
    }
}

} // namespace

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
    : m_argc(argc), m_argv(argv), m_name(name)
{
    if (!s_instance)
        s_instance = this;
}

QtServiceBase::~QtServiceBase()
{
    if (s_instance == this)
        s_instance = nullptr;
}

QtServiceBase *QtServiceBase::instance()
{
    return s_instance;
}

QString QtServiceBase::serviceName() const
{
    return m_name;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    m_description = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const
{
    return m_startupType;
}

void QtServiceBase::setStartupType(QtServiceController::StartupType type)
{
    m_startupType = type;
}

void QtServiceBase::stop()
{
}

void QtServiceBase::pause()
{
}

void QtServiceBase::resume()
{
}

void QtServiceBase::processCommand(int code)
{
    Q_UNUSED(code)
}

int QtServiceBase::exec()
{
    if (m_argc > 1 && m_argv && m_argv[1]) {
        const int result = handleOption(QString::fromLocal8Bit(m_argv[1]));
        if (result >= 0)
            return result;
    }
    return runService();
}

int QtServiceBase::handleOption(const QString &option) const
{
    if (option == QLatin1String("-v") || option == QLatin1String("-version")) {
        const QString type = m_startupType == QtServiceController::AutoStartup ? tr("автоматический")
                                                                               : tr("ручной");
        QString text = tr("Служба: %1\nОписание: %2\nТип запуска: %3\n").arg(m_name, m_description, type);
        // The program's version, when it has set one (QCoreApplication::setApplicationVersion).
        const QString version = QCoreApplication::applicationVersion();
        if (!version.isEmpty())
            text += tr("Версия: %1\n").arg(version);
        printOut(text);
        return 0;
    }
    if (option == QLatin1String("-systemd-unit")) {
        printOut(QtServiceUnitFile(m_name, m_description, m_startupType, programPath(m_argv, m_argc)).text());
        return 0;
    }
    // Installation is systemd's business here: say how instead of starting.
    if (option == QLatin1String("-i") || option == QLatin1String("-install") || option == QLatin1String("-u")
        || option == QLatin1String("-uninstall")) {
        printOut(tr("Службы устанавливаются средствами systemd: unit-файл выводит параметр -systemd-unit.\n"));
        return 0;
    }
    if (option == QLatin1String("-h") || option == QLatin1String("-help")) {
        const QString program = m_argc > 0 && m_argv && m_argv[0]
            ? QFileInfo(QString::fromLocal8Bit(m_argv[0])).fileName()
            : m_name;
        printOut(tr("Использование: %1 [параметр]\n"
                    "Без параметров служба «%2» работает на переднем плане до сигнала SIGTERM или SIGINT.\n"
                    "  -v, -version    имя, описание, тип запуска и версия службы\n"
                    "  -systemd-unit   unit-файл systemd для запуска службы\n"
                    "  -i, -install    как установить службу (через systemd)\n"
                    "  -h, -help       эта справка\n")
                         .arg(program, m_name)
                     + m_optionsHelp);
        return 0;
    }
    return -1;
}

int QtServiceBase::refuseToStart(const QString &reason)
{
    const QString text = tr("Служба «%1» не запущена. %2").arg(m_name, reason);
    logMessage(text, Error);
    return 1;
}

int QtServiceBase::runService()
{
    if (m_name.isEmpty())
        return refuseToStart(tr("Не задано имя службы"));

    {
        // The runtime library's log lines then carry the service's name too.
        QMutexLocker locker(&syslogMutex());
        openSyslog(m_name);
    }

    m_starting = m_started = m_stopping = false;
    createApplication(m_argc, m_argv);
    if (!QCoreApplication::instance())
        return refuseToStart(tr("Не создан объект приложения"));

    // Signals first: a SIGTERM that comes as soon as the socket appears must
    // already stop the service properly.
    QtServiceSignalWatcher watcher;
    if (!watcher.install())
        return refuseToStart(watcher.errorString());
    QObject::connect(&watcher, &QtServiceSignalWatcher::terminationRequested, &watcher,
                     [this](int signalNumber) { onTermination(signalNumber); });

    QtServiceControlServer control(QtServiceController::socketPath(m_name));
    control.setCommandHandler([this](int code) { processCommand(code); });
    if (!control.listen())
        return refuseToStart(control.errorString());
    m_control = &control;

    QTimer::singleShot(0, &control, [this] { beginStart(); });
    const int result = executeApplication();
    if (m_started) {
        stop();
        // Objects released with deleteLater() in stop() go now; no loop runs any more.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    m_control = nullptr;
    control.close();
    return result;
}

void QtServiceBase::beginStart()
{
    if (m_stopping)
        return; // stopped before the loop came round to starting
    m_starting = true;
    start();
    m_starting = false;
    m_started = true;
    if (m_stopping) {
        finishStop(); // the signal came while start() was still running
        return;
    }
    // Commands sent while start() ran were held until now.
    if (m_control)
        m_control->setAcceptingCommands(true);
}

void QtServiceBase::onTermination(int signalNumber)
{
    if (m_stopping)
        return;
    m_stopping = true;
    if (m_control)
        m_control->setAcceptingCommands(false);
    logMessage(tr("Получен сигнал %1, служба «%2» останавливается").arg(signalName(signalNumber), m_name),
               Information);
    if (m_starting)
        return; // beginStart() stops once start() returns
    finishStop();
}

void QtServiceBase::finishStop()
{
    // The event loop ends first and stop() follows in runService(): a
    // signal noticed while a job processes events of its own (a check
    // script) must not tear the service down underneath that job.
    QCoreApplication::exit(0);
}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category,
                               const QByteArray &data)
{
    Q_UNUSED(id)
    Q_UNUSED(category)
    Q_UNUSED(data)

    const char *level = "INFO";
    int priority = LOG_INFO;
    if (type == Error) {
        level = "ERROR";
        priority = LOG_ERR;
    } else if (type == Warning) {
        level = "WARNING";
        priority = LOG_WARNING;
    }

    // One message, one line, in syslog and on stderr alike.
    QString text = message;
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    const QByteArray body = text.toUtf8();
    const QByteArray line = ZeltoClock::system()->now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8()
        + ' ' + m_name.toUtf8() + ' ' + level + ": " + body;

    QMutexLocker locker(&syslogMutex());
    openSyslog(m_name);
    ::syslog(priority, "%s", body.constData());
    if (!Zelto::stderrIsJournal()) {
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    }
}
