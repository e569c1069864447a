#include "viewmodel/LiveRefresh.h"

#include "viewmodel/PortListViewModel.h"

LiveRefresh::LiveRefresh(PortListViewModel &model, PortWatch &watch, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_watch(watch) {
    // Only the watch's own refreshes, once a look found a change: the
    // timer's go on as they were.
    m_watch.setRefresh(std::chrono::milliseconds(0));
    connect(&m_model, &PortListViewModel::onScreenChanged, this, &LiveRefresh::update);
    connect(&m_model, &PortListViewModel::autoRefreshEnabledChanged, this, &LiveRefresh::update);
    connect(&m_model, &PortListViewModel::isLoadingChanged, this, &LiveRefresh::update);
    connect(&m_watch, &PortWatch::events, this, [this] {
        if (m_model.isOnScreen() && m_model.autoRefreshEnabled())
            m_model.refresh();
    });
    update();
}

void LiveRefresh::setWatchedPorts(const QSet<qint64> &ports) {
    m_watched = ports;
    update();
}

void LiveRefresh::update() {
    const bool shown = m_model.isOnScreen() && m_model.autoRefreshEnabled();
    if (!shown && m_watched.isEmpty()) {
        m_watch.stop();
        m_ports.reset();
        return;
    }
    const QSet<qint64> ports = shown ? QSet<qint64>() : m_watched;
    if (m_ports != ports) {
        m_ports = ports;
        m_watch.setPorts(ports);
        m_watch.setPoll(shown ? shownPoll : hiddenPoll);
    }
    // Started once the list's own scan is in: its first look then stands on
    // that scan instead of running lsof beside it.
    if (!m_watch.isRunning() && !m_model.isLoading())
        m_watch.start();
}
