#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

#include <QCoreApplication>
#include <QString>
#include <QUuid>

// What the panel offers for a row's keeper, and the texts that go with it.
class KeeperActions {
    Q_DECLARE_TR_FUNCTIONS(KeeperActions)

public:
    // "Stop Service" or "Stop Container" where the keeper is a unit or a
    // container that can be stopped on its own; empty otherwise, and for the
    // container engine's own units, whose stop would end every container.
    static QString action(const Keeper &keeper);

    // One text per unit or container, to tell whether a stop of it runs.
    static QString key(const Keeper &keeper);

    // "the service nginx.service", "the container web-1".
    static QString name(const Keeper &keeper);

    // "Stop the service nginx.service?", and what the stop will do.
    static QString question(const Keeper &keeper);
    static QString detail(const Keeper &keeper);

    // Why a kill alone would not free the port: "The service nginx.service
    // (Restart=always) starts this process again when it ends."
    static QString restartHint(const Keeper &keeper);

    // "Port 8080 is still held after the service nginx.service stopped."
    static QString stillHeld(const Keeper &keeper, qint64 port);

    // Why a row held by the container engine's own process (docker-proxy,
    // dockerd, conmon) is not signalled: that breaks the port and leaves the
    // container running, or ends every container.
    static QString engineRefusal(const PortEntry &entry);
};

// What the panel says when a stopped process's port was taken again at once:
// who took it, what keeps that holder (holder.keeper), and the keeper's stop
// where the panel can offer one.
struct RespawnReport {
    Q_GADGET
    Q_PROPERTY(QString id READ idText)
    Q_PROPERTY(QString text MEMBER text)
    Q_PROPERTY(PortEntry holder MEMBER holder)
    Q_PROPERTY(QString action MEMBER action)

public:
    QUuid id;
    QString text;
    PortEntry holder;
    QString action; // KeeperActions::action(holder.keeper)

    QString idText() const { return id.toString(QUuid::WithoutBraces); }
};

Q_DECLARE_METATYPE(RespawnReport)
