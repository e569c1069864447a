#pragma once

// Listeners and cgroups of the tests' own, for the rows of the kernel's
// socket table.

#include "scanner/CgroupPaths.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

// A cgroup the test makes under the cgroup2 mount and removes again, once
// the processes it moved there have ended. unit may be a path of several
// folders ("user@1000.service/app.slice/x.service").
struct TestCgroup {
    QByteArray path;
    quint64 id = 0;

    explicit TestCgroup(CgroupPaths &paths, const QByteArray &unit = "demo-web.service") {
        const QByteArray mount = paths.mountPoint();
        if (mount.isEmpty())
            return;
        QByteArray at = mount + "/quayline-test-" + QByteArray::number(::getpid());
        for (const QByteArray &folder : QList<QByteArray>{{}} + unit.split('/')) {
            at += folder.isEmpty() ? QByteArray() : '/' + folder;
            if (::mkdir(at.constData(), 0755) != 0)
                return;
            m_made.append(at);
        }
        struct stat st {};
        if (::stat(at.constData(), &st) == 0) {
            path = at;
            id = st.st_ino;
        }
    }
    ~TestCgroup() {
        // Its processes are reaped by now; the kernel may take a moment to
        // empty the group.
        for (int i = 0; i < 100 && !path.isEmpty() && ::rmdir(path.constData()) != 0; ++i)
            QTest::qWait(20);
        while (!m_made.isEmpty())
            ::rmdir(m_made.takeLast().constData());
    }
    TestCgroup(const TestCgroup &) = delete;
    TestCgroup &operator=(const TestCgroup &) = delete;
    bool add(qint64 pid) const {
        QFile procs(QFile::decodeName(path + "/cgroup.procs"));
        return procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0 &&
               procs.flush();
    }

private:
    QList<QByteArray> m_made;
};

// perl listening on 127.0.0.1:port (0: any free one) until its input closes;
// its command line names the port it was given. With gated, the process
// waits for start() before it makes its socket: a socket belongs to the
// cgroup its maker was in at the time.
struct Listener {
    QProcess process;
    quint16 port = 0;
    // prefix: a program that runs the shell as someone else (setpriv ...).
    // reusePort: SO_REUSEPORT, so that listeners of one user share a port.
    // name: what the process calls itself once listening (its name and its
    // command line), perl's own where empty.
    explicit Listener(quint16 wanted = 0, bool gated = false, QStringList prefix = {},
                      bool reusePort = false, const QString &name = {}) {
        prefix +=
            QStringList{"/bin/sh", "-c",
                        QStringLiteral("%1exec /usr/bin/perl -MIO::Socket::INET -e \"$0\" %2 %3 %4")
                            .arg(gated ? "read go; " : "")
                            .arg(wanted)
                            .arg(int(reusePort))
                            .arg(name),
                        "my $s = IO::Socket::INET->new(Listen => 5, LocalAddr => '127.0.0.1', "
                        "LocalPort => $ARGV[0], ReuseAddr => 1, ReusePort => $ARGV[1]) "
                        "or die $!; $| = 1; $0 = $ARGV[2] if $ARGV[2]; "
                        "print $s->sockport, \"\\n\"; while (<STDIN>) {}"};
        process.start(prefix.takeFirst(), prefix);
        if (!gated)
            start();
    }
    void start() {
        process.write("go\n");
        if (process.waitForReadyRead(10000))
            port = quint16(process.readLine().trimmed().toUInt());
    }
    ~Listener() {
        process.closeWriteChannel();
        process.waitForFinished(10000);
    }
};

// A root listener in the test's demo-web.service cgroup: moved there before
// it listens, so its socket is charged to that cgroup. No listener where no
// cgroup could be made; a port of 0 where it did not start or move.
struct ServiceInCgroup {
    TestCgroup group;
    std::optional<Listener> listener;

    explicit ServiceInCgroup(CgroupPaths &paths)
        : group(paths) {
        if (group.path.isEmpty())
            return;
        listener.emplace(0, true);
        if (listener->process.waitForStarted() && group.add(listener->process.processId()))
            listener->start();
    }
};

// A port that was free a moment ago.
quint16 freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof in;
    ::bind(s, reinterpret_cast<sockaddr *>(&in), length);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&in), &length);
    ::close(s);
    return ntohs(in.sin_port);
}

// A VXLAN interface that the test makes (as root) and removes again, also
// when the test fails; up, so that the kernel holds its UDP port. No port
// where the machine cannot make one (no vxlan module, no ip).
struct TestVxlan {
    QString name;
    quint16 port = 0;

    explicit TestVxlan(const QString &prefix = QStringLiteral("qlvx")) {
        const QString wanted = prefix + QString::number(::getpid() % 100000);
        const quint16 free = freePort();
        if (QProcess::execute("/usr/sbin/ip",
                              {"link", "add", wanted, "type", "vxlan", "id", "42", "dstport",
                               QString::number(free), "local", "127.0.0.1", "dev", "lo"}) != 0)
            return;
        name = wanted;
        if (QProcess::execute("/usr/sbin/ip", {"link", "set", name, "up"}) == 0)
            port = free;
    }
    ~TestVxlan() {
        if (!name.isEmpty())
            QProcess::execute("/usr/sbin/ip", {"link", "del", name});
    }
    TestVxlan(const TestVxlan &) = delete;
    TestVxlan &operator=(const TestVxlan &) = delete;
};

// A system user (and, where asked, a group of its own that it is given as a
// supplementary group) that the test makes where missing and removes again.
struct TestUser {
    QString name;
    QString group;
    bool ready = false;

    explicit TestUser(QString user, QString extraGroup = {})
        : name(std::move(user))
        , group(std::move(extraGroup)) {
        if (::geteuid() != 0)
            return;
        if (!group.isEmpty() && !::getgrnam(group.toLocal8Bit().constData())) {
            if (QProcess::execute("/usr/sbin/groupadd", {"--system", group}) != 0)
                return;
            m_madeGroup = true;
        }
        if (!uid()) {
            if (QProcess::execute("/usr/sbin/useradd",
                                  {"--system", "--no-create-home", "--user-group", "--shell",
                                   "/usr/sbin/nologin", name}) != 0)
                return;
            m_madeUser = true;
        }
        ready = uid().has_value();
    }
    ~TestUser() {
        if (m_madeUser)
            QProcess::execute("/usr/sbin/userdel", {name});
        if (m_madeGroup)
            QProcess::execute("/usr/sbin/groupdel", {group});
    }
    std::optional<uid_t> uid() const {
        const passwd *entry = ::getpwnam(name.toLocal8Bit().constData());
        return entry ? std::optional<uid_t>(entry->pw_uid) : std::nullopt;
    }
    // The start of a command line that runs the rest as this user.
    QStringList as() const {
        QStringList prefix{"/usr/bin/setpriv", "--reuid=" + name, "--regid=" + name};
        if (group.isEmpty())
            return prefix << "--clear-groups";
        const struct group *extra = ::getgrnam(group.toLocal8Bit().constData());
        return prefix << "--groups=" + QString::number(extra ? extra->gr_gid : 0);
    }

private:
    bool m_madeUser = false;
    bool m_madeGroup = false;
};

// A listening socket on 127.0.0.1 that one user made and a process of
// another holds: children the test forks itself (no exec), each ended by the
// fixture closing their pipe, none signalled by the test. The maker joins the
// cgroup (where given), acts as its user and makes the socket; where handTo
// is set, it sends the socket over a unix socket (SCM_RIGHTS) to a taker of
// that user, forked into the same cgroup, and then exits unless it stays;
// where becomes is set, it changes to that user once it listens (a daemon
// that binds as root, then drops root). A process that acts as a user from
// its start is dumpable, as one the user started; the daemon is not.
struct SharedSocket {
    struct Plan {
        uid_t maker = 0;
        std::optional<uid_t> handTo;
        std::optional<uid_t> becomes;
        bool makerStays = false;
        QByteArray cgroup; // its folder; empty for the test's own
    };
    pid_t maker = -1, taker = -1;
    quint16 port = 0;

    explicit SharedSocket(const Plan &plan) {
        int ready[2], pass[2];
        if (::pipe2(m_end, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pass) != 0)
            return;
        const QByteArray procs =
            plan.cgroup.isEmpty() ? QByteArray() : plan.cgroup + "/cgroup.procs";
        if (plan.handTo)
            taker = start(*plan.handTo, procs, {ready[1], pass[1]}, [&] {
                report(handOver(pass[1]), ready[1]);
                holdOn();
            });
        const std::optional<Ids> becomes =
            plan.becomes ? std::optional(idsOf(*plan.becomes)) : std::nullopt;
        maker = start(plan.maker, procs, {ready[1], pass[0]}, [&] {
            const int s = listening();
            if (becomes && !actAs(*becomes))
                ::_exit(1);
            if (!plan.handTo) {
                report(s, ready[1]);
            } else if (handOver(pass[0], s) < 0 || !plan.makerStays) {
                ::_exit(0);
            }
            holdOn();
        });
        for (int fd : {ready[1], pass[0], pass[1]})
            ::close(fd);
        quint16 reported = 0;
        if (::read(ready[0], &reported, sizeof reported) == sizeof reported)
            port = reported;
        ::close(ready[0]);
        // Gone before anything looks: the taker is then alone in the cgroup.
        if (plan.handTo && !plan.makerStays && maker > 0)
            ::waitpid(std::exchange(maker, -1), nullptr, 0);
    }
    ~SharedSocket() {
        ::close(m_end[1]);
        ::close(m_end[0]);
        for (pid_t pid : {maker, taker})
            if (pid > 0)
                ::waitpid(pid, nullptr, 0);
    }

private:
    struct Ids {
        uid_t uid;
        gid_t gid;
    };
    int m_end[2] = {-1, -1}; // the children wait for the end of the pipe

    static Ids idsOf(uid_t uid) {
        const passwd *entry = ::getpwuid(uid);
        return {uid, entry ? entry->pw_gid : gid_t(uid)};
    }
    static bool actAs(const Ids &ids) {
        return ::setgroups(0, nullptr) == 0 && ::setresgid(ids.gid, ids.gid, ids.gid) == 0 &&
               ::setresuid(ids.uid, ids.uid, ids.uid) == 0;
    }
    // A child of the given user that keeps only the descriptors it is given
    // (and its end of the pipe), in the cgroup whose cgroup.procs is given.
    pid_t start(uid_t uid, const QByteArray &procs, std::initializer_list<int> keep,
                const std::function<void()> &body) {
        const Ids ids = idsOf(uid);
        const pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        // The test's crash handler would catch the stop's SIGTERM and run a
        // debugger for a stack trace, slowly on a loaded machine: the child
        // ends as any process does.
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            ::signal(signal, SIG_DFL);
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != m_end[0] && std::find(keep.begin(), keep.end(), fd) == keep.end())
                ::close(fd);
        }
        if (!procs.isEmpty()) {
            const QByteArray self = QByteArray::number(::getpid());
            const int f = ::open(procs.constData(), O_WRONLY);
            if (f < 0 || ::write(f, self.constData(), size_t(self.size())) != self.size())
                ::_exit(1);
            ::close(f);
        }
        if (uid != 0 && (!actAs(ids) || ::prctl(PR_SET_DUMPABLE, 1) != 0))
            ::_exit(1);
        body();
        ::_exit(0);
    }
    void holdOn() const {
        char c;
        while (::read(m_end[0], &c, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    static int listening() {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        if (::bind(s, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || ::listen(s, 4) != 0)
            ::_exit(1);
        return s;
    }
    static void report(int s, int out) {
        sockaddr_in in{};
        socklen_t length = sizeof in;
        if (s < 0 || ::getsockname(s, reinterpret_cast<sockaddr *>(&in), &length) != 0)
            ::_exit(1);
        const quint16 port = ntohs(in.sin_port);
        if (::write(out, &port, sizeof port) != sizeof port)
            ::_exit(1);
    }
    // Sends s over a unix socket (SCM_RIGHTS), or where s is -1 receives
    // one: the socket, or -1.
    static int handOver(int over, int s = -1) {
        char data = 0;
        iovec io{&data, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof s)] = {};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (s >= 0) {
            cmsghdr *header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof s);
            std::memcpy(CMSG_DATA(header), &s, sizeof s);
            return ::sendmsg(over, &message, 0) == 1 ? s : -1;
        }
        if (::recvmsg(over, &message, 0) != 1 || !CMSG_FIRSTHDR(&message))
            return -1;
        std::memcpy(&s, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof s);
        return s;
    }
};
