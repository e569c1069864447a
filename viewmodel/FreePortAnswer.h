#pragma once

#include "scanner/FreePorts.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <optional>

// The panel's answer when the filter is a port number that no row holds:
// whether a new listener can take that port, by the same rule as
// "quayline-cli free", and the next free port after it. The rule reads the
// kernel's table and asks the container engine, so it runs on a worker
// thread; an answer that comes after the question changed is dropped.
class FreePortAnswer : public QObject {
    Q_OBJECT

public:
    using SystemFunction = std::function<FreePorts::System()>;

    // system: the machine as the rule sees it; the real one, with the
    // engine's published ports, where empty.
    FreePortAnswer(SystemFunction system, QThreadPool *threads, QObject *parent = nullptr);

    // Asks about port, or clears the answer where there is no question.
    // Asking again about the same port checks anew: the rows changed.
    void ask(std::optional<quint16> port);

    // Empty while there is no answer (yet).
    const QString &text() const { return m_text; }
    // 0 where none was found after the port.
    int nextFree() const { return m_nextFree; }

    // "Nothing is listening on port 3000. It is free for TCP.", or why not.
    static QString textFor(const PortVerdict &verdict);

signals:
    void changed();

private:
    void set(QString text, int nextFree);

    SystemFunction m_system;
    QThreadPool *m_threads;
    quint64 m_question = 0; // counts the questions, so that a late answer can tell it is stale
    QString m_text;
    int m_nextFree = 0;
};
