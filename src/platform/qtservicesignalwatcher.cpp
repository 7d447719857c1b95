#include "qtservicesignalwatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int WatchedSignals[] = {SIGTERM, SIGINT};

// Written by the handler; a lock-free atomic is safe to read there.
std::atomic<int> s_writeFd{-1};
struct sigaction s_previous[sizeof(WatchedSignals) / sizeof(WatchedSignals[0])];

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = s_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // Non-blocking: when the pair is full, a wake-up is pending anyway.
        ssize_t written = ::write(fd, &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QtServiceSignalWatcher::QtServiceSignalWatcher(QObject *parent) : QObject(parent)
{
}

QtServiceSignalWatcher::~QtServiceSignalWatcher()
{
    uninstall();
}

QString QtServiceSignalWatcher::errorString() const
{
    return m_error;
}

bool QtServiceSignalWatcher::install()
{
    if (m_installed)
        return true;
    if (s_writeFd.load() >= 0) {
        m_error = QCoreApplication::translate("QtServiceSignalWatcher",
                                              "Обработка сигналов завершения уже установлена");
        return false;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        m_error = QCoreApplication::translate("QtServiceSignalWatcher",
                                              "Не удалось создать канал сигналов: %1")
                      .arg(systemError());
        m_fds[0] = m_fds[1] = -1;
        return false;
    }
    s_writeFd.store(m_fds[1]);
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QtServiceSignalWatcher::readSignals);

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof(WatchedSignals) / sizeof(WatchedSignals[0]); ++i) {
        if (::sigaction(WatchedSignals[i], &action, &s_previous[i]) != 0) {
            m_error = QCoreApplication::translate("QtServiceSignalWatcher",
                                                  "Не удалось установить обработчик сигнала %1: %2")
                          .arg(WatchedSignals[i])
                          .arg(systemError());
            // Put back the ones already replaced.
            for (size_t j = 0; j < i; ++j)
                ::sigaction(WatchedSignals[j], &s_previous[j], nullptr);
            s_writeFd.store(-1);
            delete m_notifier;
            m_notifier = nullptr;
            ::close(m_fds[0]);
            ::close(m_fds[1]);
            m_fds[0] = m_fds[1] = -1;
            return false;
        }
    }
    m_installed = true;
    return true;
}

void QtServiceSignalWatcher::uninstall()
{
    if (!m_installed)
        return;
    // Handlers first, so that no handler writes into a closed descriptor.
    for (size_t i = 0; i < sizeof(WatchedSignals) / sizeof(WatchedSignals[0]); ++i)
        ::sigaction(WatchedSignals[i], &s_previous[i], nullptr);
    s_writeFd.store(-1);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
    m_fds[0] = m_fds[1] = -1;
    m_installed = false;
}

void QtServiceSignalWatcher::readSignals()
{
    unsigned char buffer[64];
    for (;;) {
        const ssize_t count = ::read(m_fds[0], buffer, sizeof(buffer));
        if (count > 0) {
            // Each one is reported; the receiver ignores repeats.
            for (ssize_t i = 0; i < count; ++i)
                emit terminationRequested(buffer[i]);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
}
