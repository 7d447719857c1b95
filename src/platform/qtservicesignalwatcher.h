#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the thread that installed the
// watcher. The handler only writes the signal number into a socket pair (the
// one thing that is safe inside a signal handler); the rest happens in the
// event loop. One watcher at a time per process.
class QtServiceSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit QtServiceSignalWatcher(QObject *parent = nullptr);
    // Restores the handlers that were in place before install().
    ~QtServiceSignalWatcher() override;

    bool install();
    QString errorString() const;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignals();
    void uninstall();

    QSocketNotifier *m_notifier = nullptr;
    int m_fds[2] = {-1, -1};
    bool m_installed = false;
    QString m_error;
};
