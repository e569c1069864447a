#include "scanner/PortScanner.h"

#include "scanner/FieldOutputParser.h"
#include "scanner/ProcessReader.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

#ifndef QUAYLINE_LSOF_PATH
#define QUAYLINE_LSOF_PATH "/usr/bin/lsof"
#endif

namespace {

// lsof runs block on I/O, not on the CPU, so they get their own pool instead of
// competing with parsing for the global one (two threads on a two-core machine).
// Deliberately never destroyed: quitting must not wait for a hung lsof.
QThreadPool *lsofPool() {
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(16);
        p->setObjectName(QStringLiteral("lsof"));
        return p;
    }();
    return pool;
}

bool isExecutableFile(const QByteArray &path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.constData(), X_OK) == 0;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid);
    errno = ENOSYS;
    return -1;
#endif
}

// Waits until fd is readable or the deadline passes; false on timeout.
bool waitReadable(int fd, const QDeadlineTimer &deadline) {
    pollfd pfd{fd, POLLIN, 0};
    for (;;) {
        const qint64 left = deadline.remainingTime();
        const int rc = ::poll(&pfd, 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return true; // let the following read() report the problem
    }
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;
    posix_spawn_file_actions_t *get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&m_attr);
        // The child starts with default dispositions and nothing blocked, whatever
        // the calling thread had.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&m_attr, &none);
        posix_spawnattr_setsigdefault(&m_attr, &all);
        posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t *get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};

} // namespace

QString PortScanner::defaultLsofPath() {
    return QStringLiteral(QUAYLINE_LSOF_PATH);
}

QStringList PortScanner::tcpArguments() {
    // "f" is asked for although its value is unused: without f lines lsof on
    // Linux puts every socket of a process into one file set and all but the
    // last are lost.
    return {QStringLiteral("-nP"), QStringLiteral("-iTCP"), QStringLiteral("-sTCP:LISTEN"),
            QStringLiteral("-FpcLfPtnT")};
}

QStringList PortScanner::udpArguments() {
    return {QStringLiteral("-nP"), QStringLiteral("-iUDP"), QStringLiteral("-FpcLfPtnT")};
}

QString PortScanner::missingLsofMessage(const QString &lsofPath) {
    return QStringLiteral("Could not find lsof at ") + lsofPath + u'.';
}

PortScanner::PortScanner(QString lsofPath, Duration timeLimit)
    : m_lsofPath(std::move(lsofPath))
    , m_timeLimit(timeLimit) {}

PortEntryList PortScanner::combine(QStringView tcpOutput, QStringView udpOutput) {
    PortEntryList all = parseFieldOutput(tcpOutput, QStringLiteral("TCP"));
    all.append(parseFieldOutput(udpOutput, QStringLiteral("UDP")));
    return mergeEntries(all);
}

QFuture<ScanResult> PortScanner::scan() const {
    if (!isExecutableFile(QFile::encodeName(m_lsofPath)))
        return QtFuture::makeReadyFuture(ScanResult{{}, missingLsofMessage(m_lsofPath)});

    QList<QFuture<QString>> runs{run(tcpArguments()), run(udpArguments())};
    return QtFuture::whenAll(runs.begin(), runs.end())
        .then(QThreadPool::globalInstance(), [](const QList<QFuture<QString>> &done) {
            ScanResult result{combine(done.at(0).result(), done.at(1).result()), std::nullopt};
            // Right after lsof returned, so that a pid has had little time to
            // pass to another process; one read of /proc per distinct pid.
            static const ProcessReader reader;
            reader.fill(result.entries);
            return result;
        });
}

QFuture<QString> PortScanner::run(const QStringList &arguments) const {
    return QtConcurrent::run(
        lsofPool(), [scanner = *this, arguments] { return scanner.runBlocking(arguments); });
}

QString PortScanner::runBlocking(const QStringList &arguments) const {
    const QByteArray program = QFile::encodeName(m_lsofPath);
    std::vector<QByteArray> argBytes;
    argBytes.reserve(arguments.size() + 1);
    argBytes.push_back(program);
    for (const QString &a : arguments)
        argBytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const int readFd = pipeFds[0];

    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
    SpawnAttributes attributes;

    pid_t child = -1;
    const int spawnError = ::posix_spawn(&child, program.constData(), actions.get(),
                                         attributes.get(), argv.data(), environ);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(readFd);
        return {};
    }

    const QDeadlineTimer deadline(m_timeLimit);
    QByteArray output;
    bool timedOut = false;
    char buffer[65536];
    for (;;) {
        if (!waitReadable(readFd, deadline)) {
            timedOut = true;
            break;
        }
        const ssize_t n = ::read(readFd, buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(readFd);

    // A child can close stdout and still not exit; the limit covers the wait too.
    if (!timedOut) {
        const int pidFd = openPidFd(child);
        if (pidFd >= 0) {
            timedOut = !waitReadable(pidFd, deadline);
            ::close(pidFd);
        }
    }
    if (timedOut) {
        ::kill(child, SIGKILL); // our own child, still unreaped, so the pid is still ours
        reap(child);
        return {};
    }
    reap(child);
    return QString::fromUtf8(output);
}
