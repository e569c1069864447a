#pragma once

#include "model/ProcessInfo.h"

#include <QHashFunctions>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringView>
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

    // What tells one row from another, and what the merge folds by: pid,
    // protocol and port. Two keys are equal exactly when their texts are,
    // decided from the parts without building the text. That is not quite
    // equality of the parts: a protocol may contain "-" and a negative port
    // prints one, so for pid 5 protocol "A-" with port 12 and protocol "A" with
    // port -12 both read "5-A--12", and count as one key. So the ids of a
    // merged scan are unique.
    //
    // The key refers to the protocol text of the entry it came from (no copy,
    // no reference count to touch, as the merge builds one per socket), so it
    // is valid only while that text lives.
    struct Key {
        qint32 pid = 0;
        QStringView networkProtocol;
        qint64 port = 0;

        // "<pid>-<protocol>-<port>", the entry's id().
        QString text() const;

        friend bool operator==(const Key &a, const Key &b) noexcept;
        friend bool operator!=(const Key &a, const Key &b) noexcept { return !(a == b); }
    };

    Key key() const & { return Key{pid, networkProtocol, port}; }
    Key key() const && = delete; // would refer to a temporary's text
    // Identity for lists: key().text(). Unique within one merged scan.
    QString id() const { return key().text(); }

    friend bool operator==(const PortEntry &a, const PortEntry &b) noexcept;
    friend bool operator!=(const PortEntry &a, const PortEntry &b) noexcept { return !(a == b); }
};

size_t qHash(const PortEntry &entry, size_t seed = 0) noexcept;
size_t qHash(const PortEntry::Key &key, size_t seed = 0) noexcept;

using PortEntryList = QList<PortEntry>;

Q_DECLARE_METATYPE(PortEntry)
