#pragma once

#include "scanner/PortWatch.h"

#include <QObject>
#include <QSet>
#include <chrono>

class PortListViewModel;

// Keeps the panel's list and the watched ports up to date between the list's
// timer refreshes, through one PortWatch. While a window shows the list with
// auto-refresh on: every port, the table read four times a second, and a
// change (or the kernel's word that a listed socket closed) refreshes the
// list at once. Otherwise only the watched ports, read every two seconds, and no
// lsof unless one of them moved. Neither: the watch stops and reads nothing.
class LiveRefresh : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds shownPoll{250};
    static constexpr std::chrono::milliseconds hiddenPoll{2000};

    LiveRefresh(PortListViewModel &model, PortWatch &watch, QObject *parent = nullptr);

    void setWatchedPorts(const QSet<qint64> &ports);

private:
    void update();

    PortListViewModel &m_model;
    PortWatch &m_watch;
    QSet<qint64> m_watched;
    std::optional<QSet<qint64>> m_ports; // what the watch was last given
};
