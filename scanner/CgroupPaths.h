#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <optional>

// The cgroup of a socket's owner by its id. A cgroup's id is the inode number
// of its directory under the cgroup2 mount, so the path is found by walking
// that tree; the paths found are kept, since an id is never handed to another
// cgroup. Safe to share between threads.
class CgroupPaths {
public:
    // mountInfo: the file that tells where cgroup2 is mounted.
    explicit CgroupPaths(QByteArray mountInfo = "/proc/self/mountinfo");

    // The cgroup2 mount point ("/sys/fs/cgroup", "/sys/fs/cgroup/unified" on
    // hybrid systems); empty where cgroup2 is not mounted.
    QByteArray mountPoint();
    // The path below the mount ("/system.slice/nginx.service"); empty when
    // unknown. A miss walks the tree once more (bounded).
    QByteArray pathOf(quint64 id);
    // Learns the paths of these ids with one walk at most (none when all are
    // known, or were looked for before); an id that walk does not find is a
    // cgroup removed since, and is looked for no more.
    void find(const QSet<quint64> &ids);
    // Every process of the cgroup (its cgroup.procs, each pid once), or
    // nothing where that cannot be known whole and cheaply: the cgroup is
    // unknown or cannot be read, it is the root of the hierarchy (which
    // holds every process not placed elsewhere: on a system without systemd,
    // all of them), it holds more than most processes, or it holds one that
    // this pid namespace cannot see (listed as 0). A list cut short could not
    // show that a process is the only one of its kind.
    std::optional<QList<qint32>> processesOf(quint64 id, qsizetype most = searchLimit);

    // The most processes of a cgroup that are read one by one to find which
    // holds a socket.
    static constexpr qsizetype searchLimit = 64;

    // Where the first cgroup2 file system in a mountinfo text is mounted.
    static QByteArray parseMountInfo(QByteArrayView text);

    // A walk stops after this many directories.
    static constexpr qsizetype walkLimit = 20000;
    // How many walks of the tree were made (their cost grows with the tree).
    qsizetype walks() {
        QMutexLocker lock(&m_mutex);
        return m_walks;
    }

private:
    void walk();

    QMutex m_mutex;
    QByteArray m_mountInfo;
    std::optional<QByteArray> m_mountPoint;
    QHash<quint64, QByteArray> m_paths;
    QSet<quint64> m_missed;
    qsizetype m_walks = 0;
};
