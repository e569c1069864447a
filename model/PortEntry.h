#pragma once

#include "model/ProcessInfo.h"

#include <QHashFunctions>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <cstdint>

// One listening TCP socket or one UDP socket held open by one process.
// A plain value: copied freely and safe to hand between threads.
class PortEntry {
    Q_GADGET
    Q_PROPERTY(QString id READ id)
    Q_PROPERTY(qint32 pid MEMBER pid)
    Q_PROPERTY(QString processName MEMBER processName)
    Q_PROPERTY(QString user MEMBER user)
    Q_PROPERTY(QString networkProtocol MEMBER networkProtocol)
    Q_PROPERTY(QString ipVersion MEMBER ipVersion)
    Q_PROPERTY(QString address MEMBER address)
    Q_PROPERTY(qint64 port MEMBER port)
    Q_PROPERTY(QString state MEMBER state)
    Q_PROPERTY(ProcessInfo process MEMBER process)

public:
    PortEntry() = default;
    PortEntry(qint32 pid, QString processName, QString user, QString networkProtocol,
              QString ipVersion, QString address, qint64 port, QString state);

    qint32 pid = 0;
    QString processName;
    QString user;
    QString networkProtocol;
    QString ipVersion; // may be widened to "IPv4/IPv6" when twins are merged
    QString address;   // may become "*" when twins are merged
    qint64 port = 0;
    QString state;
    // Not one of lsof's fields: filled in by the scanner after lsof returned.
    ProcessInfo process;

    // Identity for lists: "<pid>-<protocol>-<port>". Unique within one merged scan.
    QString id() const;

    friend bool operator==(const PortEntry &a, const PortEntry &b) noexcept;
    friend bool operator!=(const PortEntry &a, const PortEntry &b) noexcept { return !(a == b); }
};

size_t qHash(const PortEntry &entry, size_t seed = 0) noexcept;

// The identity formula on its own, so callers that only have the parts agree with id().
QString portEntryId(qint32 pid, const QString &networkProtocol, qint64 port);

using PortEntryList = QList<PortEntry>;

Q_DECLARE_METATYPE(PortEntry)
