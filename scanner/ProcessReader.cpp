#include "scanner/ProcessReader.h"

#include "model/DisplayText.h"
#include "process/Descriptor.h"
#include "process/ProcStat.h"

#include <QFile>
#include <QHash>
#include <QVarLengthArray>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file name relative to dirFd, read to its end or to limit bytes.
QByteArray readAt(int dirFd, const char *name, qsizetype limit = 64 * 1024) {
    QByteArray data;
    const UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return data;
    char buffer[4096];
    while (data.size() < limit) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, std::min<qsizetype>(n, limit - data.size()));
        else if (n == 0 || errno != EINTR)
            break;
    }
    return data;
}

// The parts of text between separators, as views into it.
QVarLengthArray<QByteArrayView, 16> split(QByteArrayView text, char separator) {
    QVarLengthArray<QByteArrayView, 16> parts;
    qsizetype from = 0;
    for (qsizetype at; (at = text.indexOf(separator, from)) >= 0; from = at + 1)
        parts.append(text.sliced(from, at - from));
    parts.append(text.sliced(from));
    return parts;
}

bool isHex(QByteArrayView text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return !text.isEmpty();
}

// The id in a scope or folder a runtime names after its container:
// "<prefix><id>.scope" where scope, else "<prefix><id>"; an id of at least 12
// hex digits.
QByteArrayView idAfter(QByteArrayView part, QByteArrayView prefix, bool scope) {
    if (scope && !part.endsWith(".scope"))
        return {};
    if (scope)
        part.chop(6);
    if (!part.startsWith(prefix))
        return {};
    const QByteArrayView id = part.sliced(prefix.size());
    return id.size() >= 12 && isHex(id) ? id : QByteArrayView();
}

// The uid in "user-1000.slice" or "user@1000.service", or -1.
qint64 uidIn(QByteArrayView part, QByteArrayView prefix, QByteArrayView suffix) {
    if (!part.startsWith(prefix) || !part.endsWith(suffix))
        return -1;
    bool ok = false;
    const qint64 uid =
        part.sliced(prefix.size(), part.size() - prefix.size() - suffix.size()).toLongLong(&ok);
    return ok && uid >= 0 ? uid : -1;
}

// The container a cgroup path names, where the path is one that a container
// runtime places its containers at; its parts from the root (parts[0] is the
// empty text before the leading '/'), and below the container anything.
// Only root makes folders in those places, except for rootless containers,
// which run under a user's own service manager: those count only in the
// viewer's own (selfUid), whose engine alone knows them. A folder named like
// a container anywhere else (in the tree systemd hands every user) is none.
// tool: the command that stops it.
QByteArrayView placedContainer(const QVarLengthArray<QByteArrayView, 16> &parts, qint64 selfUid,
                               QString *tool) {
    const auto at = [&](qsizetype i) { return i < parts.size() ? parts[i] : QByteArrayView(); };
    const auto found = [&](QByteArrayView id, const char *stopper) {
        if (!id.isEmpty())
            *tool = QString::fromLatin1(stopper);
        return id;
    };
    const QByteArrayView top = at(1);
    QByteArrayView id;
    if (top == "system.slice") {
        // Docker's systemd driver; containerd's own folders when the kubelet
        // names systemd slices and containerd does not make them
        // ("kubepods-pod<uid>.slice:cri-containerd:<id>").
        if (!(id = idAfter(at(2), "docker-", true)).isEmpty())
            return found(id, "docker");
        if (at(2) == "containerd.service") {
            const QByteArrayView part = at(3);
            const qsizetype colon = part.lastIndexOf(":cri-containerd:");
            return found(colon > 0 ? idAfter(part.sliced(colon + 1), "cri-containerd:", false)
                                   : QByteArrayView(),
                         "crictl");
        }
        return {};
    }
    if (top == "machine.slice") { // root Podman, systemd driver; a pod's containers in its slice
        const bool pod = at(2).startsWith("machine-libpod_pod_") && at(2).endsWith(".slice");
        return found(idAfter(at(pod ? 3 : 2), "libpod-", true), "podman");
    }
    if (top == "docker") // Docker's cgroupfs driver
        return found(at(2).size() == 64 ? idAfter(at(2), "", false) : QByteArrayView(), "docker");
    if (top == "libpod_parent") // Podman's cgroupfs driver
        return found(idAfter(at(2), "libpod-", false), "podman");
    if (top == "kubepods.slice" || top == "kubepods") {
        // Kubernetes: pods in slices of their QoS class, then the runtime's
        // scope (systemd driver) or a bare id (cgroupfs driver).
        for (qsizetype i = 2; i < parts.size(); ++i) {
            if (top == "kubepods") {
                if (parts[i].size() == 64 && isHex(parts[i]))
                    return found(parts[i], "crictl");
                continue;
            }
            for (const char *prefix : {"cri-containerd-", "crio-", "docker-"}) {
                if (!(id = idAfter(parts[i], prefix, true)).isEmpty())
                    return found(id, qstrcmp(prefix, "docker-") == 0 ? "docker" : "crictl");
            }
        }
        return {};
    }
    if (top == "user.slice") {
        // Rootless Podman or Docker: the user manager's user.slice, a pod's
        // containers in a slice of their own there.
        const qint64 uid = uidIn(at(2), "user-", ".slice");
        if (uid < 0 || uid != selfUid || uidIn(at(3), "user@", ".service") != uid ||
            at(4) != "user.slice")
            return {};
        const bool pod = at(5).startsWith("user-libpod_pod_") && at(5).endsWith(".slice");
        if (!(id = idAfter(at(pod ? 6 : 5), "libpod-", true)).isEmpty())
            return found(id, "podman");
        return found(pod ? QByteArrayView() : idAfter(at(5), "docker-", true), "docker");
    }
    return {};
}

} // namespace

ProcessReader::ProcessReader(QString procRoot)
    : m_root(QFile::encodeName(procRoot)) {
    if (const long tps = ::sysconf(_SC_CLK_TCK); tps > 0)
        m_ticksPerSecond = tps;
    const UniqueFd root(::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const QByteArray stat = root.isValid() ? readAt(root.get(), "stat") : QByteArray();
    if (const qsizetype at = stat.indexOf("\nbtime "); at >= 0) {
        const qsizetype from = at + 7;
        const qsizetype end = stat.indexOf('\n', from);
        m_bootTime = stat.mid(from, end < 0 ? -1 : end - from).toLongLong();
    }
}

ProcessReader::CgroupPlace ProcessReader::parseCgroup(QByteArrayView text) {
    return parseCgroup(text, qint64(::getuid()));
}

ProcessReader::CgroupPlace ProcessReader::parseCgroup(QByteArrayView text, qint64 selfUid) {
    CgroupPlace place;
    QByteArrayView unified, systemd; // the cgroup v2 path, and v1's name=systemd one
    for (QByteArrayView line : split(text, '\n')) {
        const qsizetype first = line.indexOf(':');
        const qsizetype second = first < 0 ? -1 : line.indexOf(':', first + 1);
        if (second < 0)
            continue;
        const QByteArrayView controllers = line.sliced(first + 1, second - first - 1);
        const QByteArrayView path = line.sliced(second + 1);
        if (line.startsWith("0::"))
            unified = path;
        else if (controllers == "name=systemd")
            systemd = path;
        if (place.container.isEmpty()) {
            if (const QByteArrayView id =
                    placedContainer(split(path, '/'), selfUid, &place.containerTool);
                !id.isEmpty())
                place.container = QString::fromLatin1(id);
        }
    }
    if (!place.container.isEmpty())
        return place;
    const QByteArrayView path = unified.size() > 1 || systemd.isEmpty() ? unified : systemd;
    const auto parts = split(path, '/');
    for (auto it = parts.crbegin(); it != parts.crend(); ++it) {
        if (it->endsWith(".service") || it->endsWith(".scope")) {
            place.unit = utf8Text(*it);
            // A user's manager sits at "user@UID.service"; units below it are its.
            for (auto outer = std::next(it); outer != parts.crend(); ++outer) {
                if (outer->startsWith("user@") && outer->endsWith(".service")) {
                    if (const qint64 uid = uidIn(*outer, "user@", ".service"); uid >= 0) {
                        place.userUnit = true;
                        place.userManagerUid = uid;
                    }
                    break;
                }
            }
            break;
        }
    }
    return place;
}

bool ProcessReader::commMatches(QByteArrayView comm, QStringView lsofCommand) {
    const QByteArray lsof = lsofCommand.toUtf8();
    qsizetype plain = 0;
    for (; plain < comm.size(); ++plain) {
        const unsigned char c = comm[plain];
        if (c < 0x20 || c >= 0x7f || c == '\\' || c == ')')
            break;
    }
    if (plain == comm.size())
        return lsof == comm;
    return lsof.size() >= plain && QByteArrayView(lsof).first(plain) == comm.first(plain);
}

QStringList ProcessReader::splitCommandLine(QByteArrayView raw) {
    QStringList arguments;
    if (raw.endsWith('\0'))
        raw.chop(1);
    else if (raw.isEmpty())
        return arguments;
    for (QByteArrayView argument : split(raw, '\0'))
        arguments.append(utf8Text(argument));
    return arguments;
}

QStringList ProcessReader::commandLine(qint32 pid, qsizetype limit) const {
    if (pid < 1)
        return {};
    const QByteArray path = m_root + '/' + QByteArray::number(pid);
    const UniqueFd dir(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.isValid() ? splitCommandLine(readAt(dir.get(), "cmdline", limit)) : QStringList();
}

ProcessInfo ProcessReader::read(qint32 pid, QStringView lsofCommand) const {
    int error = 0;
    ProcessInfo info = readIdentity(pid, lsofCommand, maxCommandLineBytes, &error);
    info.commandLine = splitCommandLine(info.rawCommandLine);
    return info;
}

ProcessInfo ProcessReader::readIdentity(qint32 pid, QStringView lsofCommand,
                                        qsizetype commandLineLimit, int *error) const {
    ProcessInfo info;
    if (pid < 1)
        return info;
    // Every file is read through one open of the process's folder: once its
    // process has gone, reads through it fail even if the pid has been handed
    // on, so the parts below cannot come from two different processes.
    const QByteArray path = m_root + '/' + QByteArray::number(pid);
    const UniqueFd dir(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isValid()) {
        if (!StatReader::meansGone(errno))
            *error = errno;
        return info;
    }
    const std::optional<ProcessStat> stat = StatReader::parse(readAt(dir.get(), "stat", 1024));
    if (!stat || stat->startTicks == 0 || !commMatches(stat->comm, lsofCommand))
        return info;

    // One byte past the limit tells a command line of exactly the limit from a longer one.
    info.rawCommandLine = readAt(dir.get(), "cmdline", commandLineLimit + 1);
    if (info.rawCommandLine.size() > commandLineLimit) {
        info.rawCommandLine.truncate(commandLineLimit);
        info.commandLineCut = true;
    }

    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(dir.get(), "cwd", target, sizeof target);
    if (length > 0) {
        QByteArrayView path(target, length);
        // The kernel marks a removed folder by appending " (deleted)" to its
        // path; a folder that merely has that name still has links.
        constexpr QByteArrayView marker(" (deleted)");
        struct stat folder {};
        if (path.endsWith(marker) && ::fstatat(dir.get(), "cwd", &folder, 0) == 0 &&
            folder.st_nlink == 0) {
            path.chop(marker.size());
            info.cwdDeleted = true;
        }
        info.cwd = QFile::decodeName(path.toByteArray());
    }

    const CgroupPlace place = parseCgroup(readAt(dir.get(), "cgroup"));
    info.unit = place.unit;
    info.userUnit = place.userUnit;
    info.userManagerUid = place.userManagerUid;
    info.container = place.container;
    info.containerTool = place.containerTool;

    info.startTicks = stat->startTicks;
    if (m_bootTime > 0)
        info.startedAt = QDateTime::fromMSecsSinceEpoch(
            m_bootTime * 1000 + qint64(stat->startTicks * 1000 / quint64(m_ticksPerSecond)),
            Qt::UTC);
    return info;
}

std::optional<QString> ProcessReader::fill(PortEntryList &entries, qsizetype budget) const {
    QHash<qint32, ProcessInfo> seen;
    // Each distinct command line once, with its decoded arguments: processes
    // forked from one parent share argv, and their rows then share its text.
    QHash<QByteArray, QStringList> commandLines;
    qsizetype left = budget;
    for (PortEntry &entry : entries) {
        auto it = seen.find(entry.pid);
        if (it == seen.end()) {
            const qsizetype limit =
                std::min(maxCommandLineBytes, std::max(left, minCommandLineBytes));
            int error = 0;
            ProcessInfo info = readIdentity(entry.pid, entry.processName, limit, &error);
            if (error != 0)
                return QStringLiteral("Could not read %1/%2: %3.")
                    .arg(QFile::decodeName(m_root))
                    .arg(entry.pid)
                    .arg(qt_error_string(error));
            left -= std::min(left, info.rawCommandLine.size());
            auto line = commandLines.constFind(info.rawCommandLine);
            if (line == commandLines.cend())
                line =
                    commandLines.insert(info.rawCommandLine, splitCommandLine(info.rawCommandLine));
            info.rawCommandLine = line.key();
            info.commandLine = line.value();
            it = seen.insert(entry.pid, std::move(info));
        }
        entry.process = *it;
    }
    return std::nullopt;
}
