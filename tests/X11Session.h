#pragma once

// What the end-to-end tests share: an Xvfb display, trayer as the X11 tray
// host, the program's environment on that display, and xdotool's view of the
// program's windows.
//
// Safety: every process signalled here is one the test started, by the pid
// QProcess got then.

#include <QDeadlineTimer>
#include <QHash>
#include <QProcess>
#include <QRect>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

namespace x11session {

// Generous, for a sanitizer build on two busy cores.
constexpr int startMs = 60000;
constexpr int stepMs = 30000;
const QSize screenSize(1280, 800);
// Tray icons are at most this big; anything larger of the program's is its panel.
constexpr int largestIcon = 64;

// Polls until the condition holds or the time is up; true when it holds.
template <typename Condition> bool waitFor(Condition condition, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QTest::qWait(50);
    return condition();
}

// Only for processes this test started: QProcess signals the pid start() gave.
inline void endProcess(QProcess &process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(10000);
}

// The program on the display, with a private home and runtime directory;
// neither the test's own session nor ctest's offscreen platform leaks in.
inline QProcessEnvironment environment(const QString &display, const QString &home,
                                       const QString &busAddress) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE",
          "XDG_CURRENT_DESKTOP", "SESSION_MANAGER", "QT_QUICK_BACKEND", "XDG_CONFIG_HOME",
          "XDG_DATA_HOME", "XDG_CACHE_HOME", "QT_SCALE_FACTOR"})
        env.remove(name);
    env.insert("DISPLAY", display);
    env.insert("HOME", home);
    env.insert("XDG_RUNTIME_DIR", home); // private to the user, as it must be
    env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    env.insert("NO_AT_BRIDGE", "1");
    // The suppressions of Qt Quick's own leaks need the slow unwinder's full stacks.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
    return env;
}

inline void start(QProcess &process, const QString &program, const QStringList &arguments,
                  const QProcessEnvironment &env) {
    process.setProcessEnvironment(env);
    // Should the test itself die, the kernel ends what it started.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
}

// Runs a tool to its end; its standard output.
inline QByteArray run(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &env) {
    QProcess tool;
    start(tool, program, arguments, env);
    if (!tool.waitForFinished(20000))
        endProcess(tool);
    return tool.readAllStandardOutput();
}

// A D-Bus session bus of the test's own; its address, empty on failure.
inline QString startSessionBus(QProcess &bus, const QProcessEnvironment &env) {
    start(bus, "dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"}, env);
    if (!waitFor([&] { return bus.canReadLine(); }, stepMs))
        return {};
    return QString::fromLatin1(bus.readLine().trimmed());
}

// The shortest distance from a point to a rectangle (0 inside it).
inline int distance(QPoint p, const QRect &r) {
    const int dx = std::max({r.left() - p.x(), 0, p.x() - r.right()});
    const int dy = std::max({r.top() - p.y(), 0, p.y() - r.bottom()});
    return std::max(dx, dy);
}

// Xvfb on a display it picks (-displayfd); the display's name, empty on failure.
inline QString startXvfb(QProcess &xvfb) {
    const QString screen = QString("%1x%2x24").arg(screenSize.width()).arg(screenSize.height());
    start(xvfb, "Xvfb", {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
          QProcessEnvironment::systemEnvironment());
    if (!waitFor([&] { return xvfb.canReadLine(); }, stepMs))
        return {};
    return ':' + QString::fromLatin1(xvfb.readLine().trimmed());
}

inline void startTrayer(QProcess &trayer, const QProcessEnvironment &env) {
    start(trayer, "trayer",
          {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
           "--SetDockType", "false", "--SetPartialStrut", "false"},
          env);
}

// The visible windows of the class (a regular expression) that pass the test.
template <typename Keep>
QList<QRect> windows(const QString &className, const QProcessEnvironment &env, Keep keep) {
    QList<QRect> found;
    QHash<QByteArray, int> values;
    const QByteArray shell = run(
        "xdotool",
        {"search", "--onlyvisible", "--classname", className, "getwindowgeometry", "--shell", "%@"},
        env);
    for (const QByteArray &line : shell.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        values.insert(line.left(eq), line.mid(eq + 1).toInt());
        const QRect r(values.value("X"), values.value("Y"), values.value("WIDTH"),
                      values.value("HEIGHT"));
        if (line.startsWith("HEIGHT=") && keep(r))
            found.append(r);
    }
    return found;
}

// The program's last list report in its standard error (see
// Quayline/shell/ListReport.h): "<count> <pid>:<port>/<protocol> ...".
inline QByteArray lastReport(const QByteArray &errors) {
    const QByteArray marker = "quayline-report: ";
    const qsizetype at = errors.lastIndexOf(marker);
    const qsizetype end = at < 0 ? -1 : errors.indexOf('\n', at);
    return end < 0 ? QByteArray() : errors.mid(at + marker.size(), end - at - marker.size());
}

// The number of rows in that report; -1 when there is none.
inline int lastReportedCount(const QByteArray &errors) {
    bool ok = false;
    const int count = lastReport(errors).split(' ').value(0).toInt(&ok);
    return ok ? count : -1;
}

inline bool isIcon(const QRect &r) {
    return r.width() <= largestIcon && r.height() <= largestIcon;
}

} // namespace x11session
