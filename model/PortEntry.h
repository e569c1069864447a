#pragma once

#include "model/Keeper.h"
#include "model/ProcessInfo.h"

#include <QHashFunctions>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringView>
#include <algorithm>
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
    Q_PROPERTY(bool fromKernel MEMBER fromKernel)
    Q_PROPERTY(bool kernelHeld MEMBER kernelHeld)
    Q_PROPERTY(QString kernelUse MEMBER kernelUse)
    Q_PROPERTY(qint64 uid MEMBER uid)
    Q_PROPERTY(QString containerName MEMBER containerName)
    Q_PROPERTY(QString image MEMBER image)
    Q_PROPERTY(QString composeProject MEMBER composeProject)
    Q_PROPERTY(Keeper keeper MEMBER keeper)
    // For a row of the kernel's table: who holds the port ("root,
    // nginx.service"); empty for lsof's rows.
    Q_PROPERTY(QString holder READ holder)

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
    // From the kernel's socket table. fromKernel marks a socket that lsof did
    // not list (another user's, mostly): its pid is known only where certain,
    // and its unit or container comes from the socket's cgroup.
    bool fromKernel = false;
    qint64 uid = -1;      // the socket owner's uid; -1 where unknown
    quint64 cgroupId = 0; // the socket owner's cgroup; 0 where unknown
    // A socket of the kernel's own, which no process holds (a tunnel's, an
    // NFS server's), and what the kernel holds it for: "vxlan vx0", "lockd",
    // "nfsd"; empty where it does not say.
    bool kernelHeld = false;
    QString kernelUse;
    // The inodes of the kernel's sockets behind the row (two for folded
    // twins), where known: what tells a socket handed to another process
    // from one made anew on the same port.
    QList<quint64> inodes;
    // From the container engine, where the socket belongs to a container.
    QString containerName;
    QString image;
    QString composeProject;
    // For a row whose process is named like a rootless engine's port proxy
    // (rootlessport, pasta, rootlesskit …): what the user's own engine said.
    // Such processes belong to the user by design, so only the engine tells a
    // container's proxy from a process of the user's that is merely named so.
    enum class ProxyCheck : quint8 {
        NotAsked,     // no engine could be asked or none answered: taken as a proxy
        Publishes,    // a container of the engine publishes the row's port
        PublishesNot, // the engine answered, and none publishes it
    };
    ProxyCheck proxyCheck = ProxyCheck::NotAsked;
    // What starts the holder again when it dies, where known (its unit or
    // container); filled in after the scan, off the GUI thread.
    Keeper keeper;

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
    //
    // A kernel row without a pid stands for whoever holds the socket, so its
    // key also names the owner and cgroup: "0-TCP-80@0:1234" for root in
    // cgroup 1234. Two holders of one port then stay two rows, and no such key
    // equals one of a row with a pid (its text after the last "-" is not
    // digits alone).
    struct Key {
        qint32 pid = 0;
        QStringView networkProtocol;
        qint64 port = 0;
        qint64 holderUid = -1; // at or above 0 only for a kernel row without a pid
        quint64 holderCgroup = 0;

        // "<pid>-<protocol>-<port>[@<uid>:<cgroup>]", the entry's id().
        QString text() const;

        friend bool operator==(const Key &a, const Key &b) noexcept;
        friend bool operator!=(const Key &a, const Key &b) noexcept { return !(a == b); }
    };

    // Defined with the other holder texts, in Holder.cpp.
    QString holder() const;

    Key key() const & {
        const bool holder = fromKernel && pid == 0;
        return Key{pid, networkProtocol, port, holder ? std::max<qint64>(uid, 0) : -1,
                   holder ? cgroupId : 0};
    }
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
