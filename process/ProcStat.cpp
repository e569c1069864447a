#include "process/ProcStat.h"

#include "process/Descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

StatReader::StatReader(QByteArray procRoot)
    : m_root(std::move(procRoot)) {}

bool StatReader::meansGone(int error) {
    // ENOENT: no such pid; ESRCH: the process went while its file was read.
    return error == ENOENT || error == ESRCH;
}

StatReading StatReader::read(int pid) const {
    if (pid < 1)
        return {};
    const QByteArray path = m_root + '/' + QByteArray::number(pid) + "/stat";
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.isValid())
        return meansGone(errno) ? StatReading() : StatReading::failed(errno);
    char buffer[1024];
    ssize_t n;
    do
        n = ::read(fd.get(), buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return meansGone(errno) ? StatReading() : StatReading::failed(errno);
    return parse(QByteArrayView(buffer, n));
}

QByteArray StatReader::cgroups(int pid) const {
    QByteArray text;
    if (pid < 1)
        return text;
    const QByteArray path = m_root + '/' + QByteArray::number(pid) + "/cgroup";
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.isValid())
        return text;
    char buffer[4096];
    // A line per hierarchy: a few kilobytes at most.
    while (text.size() < 64 * 1024) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return text;
}

std::optional<ProcessStat> StatReader::parse(QByteArrayView line) {
    const qsizetype open = line.indexOf('(');
    const qsizetype close = line.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    ProcessStat stat;
    stat.comm = line.sliced(open + 1, close - open - 1).toByteArray();
    // Fields from 3 (state) on, after ") ".
    int field = 3;
    qsizetype at = close + 1;
    while (at < line.size() && field <= 22) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        qsizetype end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\n')
            ++end;
        const QByteArrayView value = line.sliced(at, end - at);
        if (field == 3 && value.size() == 1)
            stat.state = value[0];
        else if (field == 4)
            stat.ppid = qint32(value.toInt());
        else if (field == 22) {
            bool ok = false;
            stat.startTicks = value.toULongLong(&ok);
            if (!ok)
                return std::nullopt;
        }
        ++field;
        at = end;
    }
    if (field <= 22 || stat.state == 0)
        return std::nullopt;
    return stat;
}
