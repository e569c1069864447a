#include "scanner/PortScanner.h"

#include "process/Descriptor.h"
#include "process/ProcStat.h"
#include "scanner/CgroupPaths.h"
#include "scanner/ContainerEngine.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/KernelRows.h"
#include "scanner/ProcessReader.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPromise>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

#ifndef QUAYLINE_LSOF_PATH
#define QUAYLINE_LSOF_PATH "/usr/bin/lsof"
#endif

using namespace std::chrono_literals;

namespace {

// How long a killed run may take to die before it is left to be reaped later.
// SIGKILL ends a process at once unless it is stuck in the kernel (a hard
// network mount); the scan must not wait on that without bound.
constexpr auto killGrace = 2s;

// SIGKILL to the process group that our lsof child leads. Only a spawned
// child's pid (always above 1) names such a group; anything else would make
// kill(2) address our own group or every process we may signal.
void killGroup(pid_t leader) {
    if (leader > 1)
        ::kill(-leader, SIGKILL);
}

// Runs that wait for a thread of the pool, by everything that decides their
// result. A request equal to a waiting one joins it instead of queueing another
// lsof: its result would be just as fresh. Once a run has started, later
// requests queue a new one.
struct WaitingRuns {
    using Promises = std::vector<std::shared_ptr<QPromise<RunResult>>>;
    QMutex mutex;
    QHash<QString, std::shared_ptr<Promises>> byKey;
};

// The lsof children this program has started and not reaped, for endAllRuns().
// Each child leads a process group of its own (see runBlocking). A run takes
// its child out of here, under the lock, only right before reaping it, so a pid
// that endAllRuns() signals is always still an unreaped child of ours and can
// never have been handed to another process.
class Children {
public:
    // Spawns under the lock, so that endAllRuns() cannot fall between the spawn
    // and the registration. Returns posix_spawn's error number.
    int spawn(pid_t *child, const char *program, const posix_spawn_file_actions_t *actions,
              const posix_spawnattr_t *attributes, char *const argv[]) {
        QMutexLocker lock(&m_mutex);
        if (m_ended)
            return ECANCELED;
        reapAbandoned();
        const int error = ::posix_spawn(child, program, actions, attributes, argv, environ);
        if (error == 0)
            m_running.push_back(*child);
        return error;
    }
    // The child has exited; the caller reaps it right after.
    void release(pid_t child) {
        QMutexLocker lock(&m_mutex);
        std::erase(m_running, child);
    }
    // The child did not die within the grace after SIGKILL: reaped by a later spawn.
    void abandon(pid_t child) {
        QMutexLocker lock(&m_mutex);
        std::erase(m_running, child);
        m_abandoned.push_back(child);
    }
    void endAll() {
        QMutexLocker lock(&m_mutex);
        m_ended = true;
        for (const pid_t child : m_running)
            killGroup(child);
        for (const pid_t child : m_abandoned)
            killGroup(child);
    }

private:
    void reapAbandoned() {
        std::erase_if(m_abandoned, [](pid_t child) {
            const pid_t rc = ::waitpid(child, nullptr, WNOHANG);
            return rc == child || (rc < 0 && errno == ECHILD);
        });
    }

    QMutex m_mutex;
    std::vector<pid_t> m_running;
    std::vector<pid_t> m_abandoned;
    bool m_ended = false;
};

bool isExecutableFile(const QByteArray &path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.constData(), X_OK) == 0;
}

// Waits until child has exited, without reaping it, so that its pid and its
// process group stay ours until the caller has done with them. False when the
// deadline passed first.
bool waitForExit(pid_t child, const QDeadlineTimer &deadline, bool usePidFd) {
    if (usePidFd) {
        const UniqueFd pidFd(openPidFd(child));
        if (pidFd.isValid()) {
            const Readiness wait = waitReadable(pidFd.get(), deadline);
            if (wait != Readiness::Failed)
                return wait == Readiness::Ready;
        }
        // No pidfd (kernels before 5.3, seccomp filters): the loop below.
    }
    // A bounded waitpid(WNOHANG) loop; WNOWAIT leaves the child unreaped. The
    // pauses grow from 1 ms, so that an lsof exiting right after its output
    // costs nothing, to 20 ms, so that a long wait costs little.
    std::chrono::nanoseconds pause = 1ms;
    for (;;) {
        siginfo_t info{};
        const int rc = ::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && info.si_pid == child)
            return true;
        if (rc < 0 && errno != EINTR)
            return true; // nothing to wait for; the reap reports nothing either
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::min(pause, deadline.remainingTimeAsDuration()));
        pause = std::min<std::chrono::nanoseconds>(pause * 2, 20ms);
    }
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
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
        // A process group of its own, led by lsof. Whatever lsof leaves running
        // (a helper holding standard output after lsof exited, say) is in that
        // group and is killed with it. The group's id is the pid of our own child,
        // which is ours until we reap it, so killing the group before the reap
        // cannot reach a process that took a recycled id; a kill by pid alone
        // would miss the helpers. The price: a Ctrl+C at a terminal no longer
        // reaches lsof, which is then ended by the pipe's closing or the limit.
        posix_spawnattr_setpgroup(&m_attr, 0);
        posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t *get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};

// lsof's output as it is read. malloc and realloc rather than QByteArray: glibc
// moves a large block with mremap instead of copying it, so the output never
// exists twice while it grows.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer() { std::free(m_data); }
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;

    qint64 size() const { return m_size; }
    QByteArrayView view() const { return QByteArrayView(m_data, m_size); }
    // Room for n more bytes at the end, growing by doubling but never past most
    // bytes in all; nullptr when memory runs out.
    char *reserve(qint64 n, qint64 most) {
        if (m_size + n > m_capacity) {
            const qint64 capacity =
                std::max(m_size + n, std::min(std::max<qint64>(m_capacity * 2, 65536), most));
            auto *data = static_cast<char *>(std::realloc(m_data, size_t(capacity)));
            if (!data)
                return nullptr;
            m_data = data;
            m_capacity = capacity;
        }
        return m_data + m_size;
    }
    void commit(qint64 n) { m_size += n; }

private:
    char *m_data = nullptr;
    qint64 m_size = 0;
    qint64 m_capacity = 0;
};

RunResult failedRun(QString text) {
    return RunResult{{}, std::move(text)};
}

QString sizeText(qint64 bytes) {
    constexpr qint64 mb = 1024 * 1024;
    return bytes % mb == 0 ? QStringLiteral("%1 MB").arg(bytes / mb)
                           : QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

struct LsofRuns::Private {
    WaitingRuns waiting;
    Children children;
    // Reads /proc right after each scan's runs.
    const ProcessReader reader;
    // The paths of the cgroups of other users' sockets, and the container
    // engine's names, kept from scan to scan.
    CgroupPaths cgroups;
    ContainerEngine engine;
    // lsof runs block on I/O, not on the CPU, so they get their own pool instead
    // of queueing on the global one (two threads on a two-core machine). Last,
    // so that it is destroyed first: its threads use everything above.
    QThreadPool pool;
};

LsofRuns::LsofRuns()
    : d(std::make_unique<Private>()) {
    d->pool.setMaxThreadCount(16);
    d->pool.setObjectName(QStringLiteral("lsof"));
}

LsofRuns::~LsofRuns() {
    // Killed runs end within the kill grace; queued ones no longer start.
    endAll();
    d->pool.waitForDone();
}

void LsofRuns::endAll() {
    d->children.endAll();
}

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

PortScanner::PortScanner(LsofRuns &runs, QString lsofPath, Duration timeLimit)
    : m_runs(&runs)
    , m_lsofPath(std::move(lsofPath))
    , m_timeLimit(timeLimit) {}

PortEntryList PortScanner::combine(QStringView tcpOutput, QStringView udpOutput) {
    // One list for both, its room reserved once (see parseFieldOutput), and
    // merged in place.
    PortEntryList all;
    all.reserve((tcpOutput.size() + udpOutput.size()) / 40);
    appendFieldOutput(all, tcpOutput, QStringLiteral("TCP"));
    appendFieldOutput(all, udpOutput, QStringLiteral("UDP"));
    return mergeEntries(std::move(all));
}

QFuture<ScanResult> PortScanner::scan() const {
    if (!isExecutableFile(QFile::encodeName(m_lsofPath)))
        return QtFuture::makeReadyFuture(ScanResult{{}, missingLsofMessage(m_lsofPath)});

    QList<QFuture<RunResult>> runs{run(tcpArguments()), run(udpArguments())};
    // The kernel's table is read while lsof runs, on the runs' pool; it takes
    // milliseconds.
    QFuture<SocketTableResult> table = m_readSocketTable
                                           ? QtConcurrent::run(&m_runs->d->pool, m_readSocketTable)
                                           : QtFuture::makeReadyFuture(SocketTableResult{});
    const bool readsTable = bool(m_readSocketTable);
    return QtFuture::whenAll(runs.begin(), runs.end())
        // On the thread that finished the last run, a thread of the runs' pool,
        // whose destruction waits for it: nothing is scheduled anywhere else, so
        // a scan that ends while the program quits finds everything it uses.
        .then(QtFuture::Launch::Sync,
              [runs = m_runs, table, readsTable](const QList<QFuture<RunResult>> &done) {
                  const RunResult tcp = done.at(0).result();
                  const RunResult udp = done.at(1).result();
                  // Half a listing would read as "nothing else is listening".
                  if (tcp.errorText || udp.errorText)
                      return ScanResult{{}, tcp.errorText ? tcp.errorText : udp.errorText, {}};
                  PortEntryList records;
                  records.reserve((tcp.output.size() + udp.output.size()) / 40);
                  appendFieldOutput(records, tcp.output, QStringLiteral("TCP"));
                  appendFieldOutput(records, udp.output, QStringLiteral("UDP"));
                  // Right after lsof returned, so that a pid has had little time to
                  // pass to another process; one read of /proc per distinct pid.
                  if (std::optional<QString> error = runs->d->reader.fill(records))
                      return ScanResult{{}, std::move(error), {}};
                  ScanResult result;
                  const SocketTableResult sockets = table.result();
                  if (sockets.source != SocketTableResult::Source::None) {
                      const KernelRows kernel(runs->d->reader, runs->d->cgroups);
                      // Only a whole table can tell that a pid no longer holds its socket.
                      if (!sockets.errorText)
                          kernel.confirmHolders(records, sockets.sockets,
                                                tcp.startTicks && udp.startTicks
                                                    ? std::min(tcp.startTicks, udp.startTicks)
                                                    : 0);
                      records.append(kernel.unattributed(records, sockets.sockets));
                  }
                  if (readsTable && sockets.errorText)
                      result.notice = socketTableNotice();
                  result.entries = mergeEntries(std::move(records));
                  // Names for containers' ports, where the engine's socket may be
                  // opened; absent otherwise. Kept per container id.
                  runs->d->engine.annotate(result.entries);
                  return result;
              });
}

PortScanner::SocketTableRead PortScanner::defaultSocketTableRead() {
    if (qgetenv("QUAYLINE_SOCKET_TABLE") == "off")
        return {};
    return [] { return SocketTable::read(); };
}

QString PortScanner::socketTableNotice() {
    return QStringLiteral("Ports of other users may be missing: the kernel\u2019s socket table "
                          "could not be read.");
}

QFuture<RunResult> PortScanner::run(const QStringList &arguments) const {
    // Everything that decides the run's result.
    const QString key = QStringList{m_lsofPath, QString::number(m_timeLimit.count()),
                                    QString::number(m_outputCap), QString::number(m_usePidFd)}
                            .join(QChar(0)) +
                        QChar(1) + arguments.join(QChar(0));
    auto promise = std::make_shared<QPromise<RunResult>>();
    promise->start();
    QFuture<RunResult> future = promise->future();

    WaitingRuns &waiting = m_runs->d->waiting;
    QMutexLocker lock(&waiting.mutex);
    if (const auto it = waiting.byKey.constFind(key); it != waiting.byKey.cend()) {
        (*it)->push_back(std::move(promise));
        return future;
    }
    auto promises = std::make_shared<WaitingRuns::Promises>();
    promises->push_back(std::move(promise));
    waiting.byKey.insert(key, promises);
    m_runs->d->pool.start([scanner = *this, arguments, key, promises] {
        {
            // From here on, nobody joins: promises is complete once the lock is left.
            WaitingRuns &waiting = scanner.m_runs->d->waiting;
            QMutexLocker lock(&waiting.mutex);
            if (waiting.byKey.value(key) == promises)
                waiting.byKey.remove(key);
        }
        const RunResult result = scanner.runBlocking(arguments);
        for (const auto &p : *promises) {
            p->addResult(result);
            p->finish();
        }
    });
    return future;
}

RunResult PortScanner::runBlocking(const QStringList &arguments) const {
    const QByteArray program = QFile::encodeName(m_lsofPath);
    const auto couldNotRun = [this](int error) {
        return failedRun(QStringLiteral("Could not run lsof at %1: %2.")
                             .arg(m_lsofPath, qt_error_string(error)));
    };
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
        return couldNotRun(errno);
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
    const int spawnError = m_runs->d->children.spawn(&child, program.constData(), actions.get(),
                                                     attributes.get(), argv.data());
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(readFd);
        return couldNotRun(spawnError);
    }

    // Our child, not reaped yet: its pid cannot pass to another process.
    const StatReading started = StatReader().read(child);
    const quint64 startTicks = started.stat ? started.stat->startTicks : 0;

    // The limit covers the read and the wait for the exit together: a child can
    // close standard output and still not exit.
    const QDeadlineTimer deadline(m_timeLimit);
    enum class Ending { EndOfOutput, TimedOut, TooLong, ReadFailed } ending = Ending::EndOfOutput;
    int readError = 0;
    OutputBuffer output;
    const qint64 cap = m_outputCap;
    for (;;) {
        const Readiness wait = waitReadable(readFd, deadline);
        if (wait != Readiness::Ready) {
            ending = wait == Readiness::TimedOut ? Ending::TimedOut : Ending::ReadFailed;
            readError = errno;
            break;
        }
        // One byte past the cap at most: that byte tells an output of exactly the
        // cap from a longer one. A pipe holds 64 KiB.
        const qint64 want = std::min<qint64>(65536, cap + 1 - output.size());
        char *tail = output.reserve(want, cap + 1);
        if (!tail) {
            ending = Ending::ReadFailed;
            readError = ENOMEM;
            break;
        }
        const ssize_t n = ::read(readFd, tail, size_t(want));
        if (n > 0) {
            output.commit(n);
            if (output.size() > cap) {
                ending = Ending::TooLong;
                break;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ending = Ending::ReadFailed;
            readError = errno;
            break;
        }
    }
    ::close(readFd);

    if (ending == Ending::EndOfOutput && !waitForExit(child, deadline, m_usePidFd))
        ending = Ending::TimedOut;
    // Ends lsof when it is over the limit or the cap, and in every case what it
    // left behind in its group. Our child is not reaped yet, so the group's id is
    // still ours (see SpawnAttributes).
    killGroup(child);
    if (ending != Ending::EndOfOutput &&
        !waitForExit(child, QDeadlineTimer(killGrace), m_usePidFd)) {
        m_runs->d->children.abandon(child);
    } else {
        m_runs->d->children.release(child);
        const int status = reap(child);
        if (ending == Ending::EndOfOutput && WIFSIGNALED(status))
            return failedRun(QStringLiteral("lsof was ended by signal %1.").arg(WTERMSIG(status)));
    }

    switch (ending) {
    case Ending::EndOfOutput:
        return RunResult{QString::fromUtf8(output.view()), std::nullopt, startTicks};
    case Ending::TimedOut:
        return failedRun(QStringLiteral("lsof did not finish within %1 seconds.")
                             .arg(double(m_timeLimit.count()) / 1000.0));
    case Ending::TooLong:
        return failedRun(QStringLiteral("lsof printed more than %1; the scan was stopped.")
                             .arg(sizeText(m_outputCap)));
    case Ending::ReadFailed:
        return failedRun(
            QStringLiteral("Could not read lsof's output: %1.").arg(qt_error_string(readError)));
    }
    Q_UNREACHABLE();
}
