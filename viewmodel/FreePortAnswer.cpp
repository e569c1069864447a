#include "viewmodel/FreePortAnswer.h"

#include "model/DisplayText.h"

#include <QtConcurrent>

namespace {

struct Checked {
    PortVerdict verdict;
    int nextFree = 0;
};

} // namespace

FreePortAnswer::FreePortAnswer(SystemFunction system, QThreadPool *threads, QObject *parent)
    : QObject(parent)
    , m_system(std::move(system))
    , m_threads(threads) {
    if (!m_system)
        m_system = [] {
            const std::optional<QList<ContainerEngine::Container>> containers =
                ContainerEngine().list();
            return FreePorts::System::real(ContainerEngine::publishedPorts(
                containers.value_or(QList<ContainerEngine::Container>())));
        };
}

void FreePortAnswer::ask(std::optional<quint16> port) {
    const quint64 question = ++m_question;
    if (!port) {
        set({}, 0);
        return;
    }
    QtConcurrent::run(m_threads,
                      [system = m_system, port = *port] {
                          // The panel shows every protocol's rows; a new
                          // listener is a TCP one far more often than not.
                          const FreePorts rule(system(), FreePorts::Tcp);
                          Checked checked{rule.check(port), 0};
                          if (port < 65535) {
                              for (const PortVerdict &v : rule.search(port + 1, 1, std::nullopt))
                                  checked.nextFree = v.free() ? v.port : 0;
                          }
                          return checked;
                      })
        // Run here, on this object's thread, and not at all once it is gone.
        .then(this, [this, question](const Checked &checked) {
            if (question == m_question)
                set(textFor(checked.verdict), checked.nextFree);
        });
}

QString FreePortAnswer::textFor(const PortVerdict &verdict) {
    using Reason = PortVerdict::Reason;
    const QString port = QString::number(verdict.port);
    switch (verdict.reason) {
    case Reason::Free:
        return tr("Nothing is listening on port %1. It is free for TCP.").arg(port);
    case Reason::Published:
        return tr("Nothing is listening on port %1, but it is not free: the container %2 "
                  "publishes it.")
            .arg(port, escapeControlCharacters(verdict.name));
    case Reason::Ephemeral:
        return tr("Nothing is listening on port %1, but it is not free: it lies in the kernel's "
                  "ephemeral range, which outgoing connections take their ports from.")
            .arg(port);
    case Reason::Reserved:
        return tr("Nothing is listening on port %1, but it is not free: the kernel keeps it "
                  "reserved.")
            .arg(port);
    case Reason::Privileged:
        return tr("Nothing is listening on port %1, but only root may listen on it.").arg(port);
    case Reason::Held:
    case Reason::HeldByOther:
    case Reason::ProbeFailed:
        // A socket that the rows do not show (yet): what the rule found.
        return tr("Port %1 is not free: %2.")
            .arg(port, escapeControlCharacters(verdict.text(true)));
    }
    return {};
}

void FreePortAnswer::set(QString text, int nextFree) {
    if (m_text == text && m_nextFree == nextFree)
        return;
    m_text = std::move(text);
    m_nextFree = nextFree;
    emit changed();
}
