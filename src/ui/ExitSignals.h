#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM and SIGINT (the end of the desktop session, a service manager stopping the
// application, Ctrl+C in a terminal) into a signal on the main thread, so the application can
// put photos that are only in memory on disk before it ends. Only the first of them is caught:
// a second one ends the process at once, as usual. One instance per process.
class ExitSignals : public QObject
{
    Q_OBJECT

public:
    explicit ExitSignals(QObject *parent = nullptr);
    ~ExitSignals() override;
    ExitSignals(const ExitSignals &) = delete;
    ExitSignals &operator=(const ExitSignals &) = delete;

signals:
    void received(int signal);

private:
    void drain();

    int m_fds[2] = { -1, -1 }; // the handler writes the signal's number into [1]
    std::unique_ptr<QSocketNotifier> m_notifier;
};
