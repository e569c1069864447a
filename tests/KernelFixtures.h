#pragma once

// Listeners and cgroups of the tests' own, for the rows of the kernel's
// socket table.

#include "scanner/CgroupPaths.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // prefix: a program that runs the shell as someone else (setpriv ...);
    // name: what the process calls itself once listening (its name and its
    // command line), perl's own where empty.
    explicit Listener(quint16 wanted = 0, bool gated = false, QStringList prefix = {},
                      const QString &name = {}) {
        prefix +=
            QStringList{"/bin/sh", "-c",
                        QStringLiteral("%1exec /usr/bin/perl -MIO::Socket::INET -e \"$0\" %2 %3")
                            .arg(gated ? "read go; " : "")
                            .arg(wanted)
                            .arg(name),
                        "my $s = IO::Socket::INET->new(Listen => 5, LocalAddr => '127.0.0.1', "
                        "LocalPort => $ARGV[0], ReuseAddr => 1) or die $!; $| = 1; "
                        "$0 = $ARGV[1] if $ARGV[1]; "
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
