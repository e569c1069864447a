#include "scanner/CgroupPaths.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// mountinfo writes space, tab, newline and backslash as \ooo.
QByteArray unescapeOctal(QByteArrayView field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3') {
            out +=
                char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

QByteArray readSmallFile(const QByteArray &path, qint64 most) {
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(most);
}

} // namespace

CgroupPaths::CgroupPaths(QByteArray mountInfo)
    : m_mountInfo(std::move(mountInfo)) {}

QByteArray CgroupPaths::parseMountInfo(QByteArrayView text) {
    // "36 35 0:30 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw"
    for (QByteArrayView line : QByteArray(text.toByteArray()).split('\n')) {
        const QList<QByteArray> fields = line.toByteArray().split(' ');
        const qsizetype dash = fields.indexOf(QByteArray("-"));
        if (dash < 5 || dash + 1 >= fields.size())
            continue;
        if (fields[dash + 1] == "cgroup2" && fields[3] == "/")
            return unescapeOctal(fields[4]);
    }
    return {};
}

QByteArray CgroupPaths::mountPoint() {
    QMutexLocker lock(&m_mutex);
    if (!m_mountPoint)
        m_mountPoint = parseMountInfo(readSmallFile(m_mountInfo, 1 << 20));
    return *m_mountPoint;
}

void CgroupPaths::walk() {
    const QByteArray root = *m_mountPoint;
    ++m_walks;
    std::vector<QByteArray> pending{QByteArray()};
    qsizetype seen = 0;
    while (!pending.empty() && seen < walkLimit) {
        const QByteArray relative = std::move(pending.back());
        pending.pop_back();
        const QByteArray path = root + relative;
        struct stat st {};
        if (::stat(path.isEmpty() ? "/" : path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        ++seen;
        m_paths.insert(quint64(st.st_ino), relative.isEmpty() ? QByteArray("/") : relative);
        DIR *dir = ::opendir(path.constData());
        if (!dir)
            continue;
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_type != DT_DIR || entry->d_name[0] == '.')
                continue;
            pending.push_back(relative + '/' + entry->d_name);
        }
        ::closedir(dir);
    }
}

QByteArray CgroupPaths::pathOf(quint64 id) {
    if (id == 0 || mountPoint().isEmpty())
        return {};
    QMutexLocker lock(&m_mutex);
    if (const auto it = m_paths.constFind(id); it != m_paths.cend())
        return *it;
    // A cgroup removed since the socket was made is looked for once.
    if (m_missed.contains(id))
        return {};
    walk();
    const QByteArray path = m_paths.value(id);
    if (path.isEmpty())
        m_missed.insert(id);
    return path;
}

void CgroupPaths::find(const QSet<quint64> &ids) {
    if (mountPoint().isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    const auto unknown = [&](quint64 id) {
        return id != 0 && !m_paths.contains(id) && !m_missed.contains(id);
    };
    if (std::none_of(ids.cbegin(), ids.cend(), unknown))
        return;
    walk();
    for (quint64 id : ids) {
        if (unknown(id))
            m_missed.insert(id);
    }
}

std::optional<QList<qint32>> CgroupPaths::processesOf(quint64 id, qsizetype most) {
    const QByteArray path = pathOf(id);
    if (path.isEmpty() || path == "/")
        return std::nullopt;
    // Each line is at most a pid of 7 digits and its newline; a few more
    // bytes than most such lines can hold tell that there are more. The
    // kernel makes the text as it is read, so a large cgroup costs no more.
    const qint64 cap = qint64(most + 1) * 8 + 64;
    QFile file(QFile::decodeName(mountPoint() + path + "/cgroup.procs"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return std::nullopt;
    const QByteArray procs = file.read(cap + 1);
    if (procs.size() > cap)
        return std::nullopt;
    QList<qint32> pids;
    for (const QByteArray &line : procs.split('\n')) {
        if (line.isEmpty())
            continue;
        bool ok = false;
        const qint32 pid = line.toInt(&ok);
        if (!ok || pid <= 0)
            return std::nullopt;
        // A process moved out and back while the list was read shows twice.
        if (!pids.contains(pid))
            pids.append(pid);
        if (pids.size() > most)
            return std::nullopt;
    }
    return pids;
}
