#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the event loop normally on SIGTERM, SIGINT and SIGHUP (a session that
// logs out, Ctrl+C in the terminal that started the program), so that the
// program leaves the way the Quit button leaves and removes its
// single-instance socket. The handler only writes a byte to a pipe; the quit
// itself happens on the main thread.
class QuitOnSignal : public QObject {
    Q_OBJECT

public:
    explicit QuitOnSignal(QObject *parent = nullptr);
    ~QuitOnSignal() override;

    QuitOnSignal(const QuitOnSignal &) = delete;
    QuitOnSignal &operator=(const QuitOnSignal &) = delete;

private:
    QSocketNotifier *m_notifier = nullptr;
};
