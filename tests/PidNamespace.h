#pragma once

// Races on a recycled pid, made real: a test function that starts with
// QUAYLINE_IN_PID_NAMESPACE() runs again, as pid 1 of a private pid namespace
// with its own /proc (unshare --fork --pid --mount-proc), where every process
// is the test's own and the next pid can be chosen (spawnWithPid). Outside, the
// call waits for that run and passes or fails with it; it skips where the
// namespace cannot be made (needs root, or unprivileged user namespaces).
// When pid 1 exits, the kernel kills whatever is left in the namespace.

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace PidNamespace {

inline const char *marker = "QUAYLINE_IN_PID_NAMESPACE";

inline QStringList unshareArguments() {
    return {QStringLiteral("--fork"), QStringLiteral("--pid"), QStringLiteral("--mount-proc")};
}

// Whether this process is the pid 1 that QUAYLINE_IN_PID_NAMESPACE() started.
inline bool inside() {
    return qEnvironmentVariableIsSet(marker) && ::getpid() == 1;
}

// Why no namespace can be made here; empty when one can.
inline QString unavailableReason() {
    static const QString reason = [] {
        QProcess probe;
        probe.setProcessChannelMode(QProcess::MergedChannels);
        probe.start(QStringLiteral("unshare"), unshareArguments() << QStringLiteral("/bin/true"));
        if (!probe.waitForFinished(30000))
            return QStringLiteral("unshare could not be run: ") + probe.errorString();
        if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
            return QStringLiteral("no private pid namespace here (unshare --pid needs root): ") +
                   QString::fromLocal8Bit(probe.readAll()).trimmed();
        return QString();
    }();
    return reason;
}

// Runs this test executable's current function and data row again inside a
// new namespace: nothing when it passed there, else what it printed.
inline std::optional<QByteArray> rerunCurrentTest(int timeoutMs = 180000) {
    QString which = QString::fromLatin1(QTest::currentTestFunction());
    if (const char *tag = QTest::currentDataTag())
        which += u':' + QString::fromLocal8Bit(tag);
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(marker), QStringLiteral("1"));
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("unshare"), unshareArguments()
                                             << QCoreApplication::applicationFilePath() << which);
    if (!run.waitForFinished(timeoutMs)) {
        run.kill(); // unshare; the namespace ends with its pid 1
        run.waitForFinished(10000);
        return "not finished in time:\n" + run.readAll();
    }
    if (run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0)
        return std::nullopt;
    return run.readAll();
}

// Inside a namespace: makes the next process or thread created take pid.
// Nothing may start a thread or process between this and the spawn.
inline bool claimNextPid(qint32 pid) {
    QFile lastPid(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
    return pid > 1 && lastPid.open(QIODevice::WriteOnly) &&
           lastPid.write(QByteArray::number(pid - 1)) > 0 && lastPid.flush();
}

// Inside a namespace: spawns argv[0] with argv so that it takes pid, trying a
// few times (a spawned process that got another pid is killed and reaped: it
// is our own child). Returns the child's pid, or -1. The caller reaps it.
inline pid_t spawnWithPid(qint32 pid, const QList<QByteArray> &args) {
    std::vector<char *> argv;
    for (const QByteArray &a : args)
        argv.push_back(const_cast<char *>(a.constData()));
    argv.push_back(nullptr);
    for (int attempt = 0; attempt < 5; ++attempt) {
        pid_t child = -1;
        if (!claimNextPid(pid) ||
            ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            return -1;
        if (child == pid)
            return child;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return -1;
}

} // namespace PidNamespace

// The first statement of a test function whose body must run in a private pid
// namespace: outside, reruns the function there and returns with its outcome.
#define QUAYLINE_IN_PID_NAMESPACE()                                                                \
    do {                                                                                           \
        if (!PidNamespace::inside()) {                                                             \
            if (const QString why = PidNamespace::unavailableReason(); !why.isEmpty())             \
                QSKIP(qPrintable(why));                                                            \
            const std::optional<QByteArray> failed = PidNamespace::rerunCurrentTest();             \
            QVERIFY2(!failed, failed.value_or(QByteArray()).constData());                          \
            return;                                                                                \
        }                                                                                          \
    } while (false)
