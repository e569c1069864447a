// The tray program as built, end to end: a virtual X server, trayer as the
// tray host, and xdotool for the user's clicks and keystrokes.
//
// Safety: the test presses a "Kill" button by its screen position, and CI runs
// it as root. It presses only once the program has reported (see
// Quayline/shell/ListReport.h) that its list holds exactly the test's own
// listener and nothing else. Every process it signals is one it started, by
// the pid it got then.
#include "XWindowClose.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <cstdio>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QSize panelSize(380, 460);

// Positions inside the panel, from its fixed layout: the header row (10 + 20
// + 10) and a divider, the filter row (8 + 20 + 8) and a divider, then the
// list, whose first row (8 + two lines + 8) has its stop button, 38 wide, at
// the right edge inset 12.
const QPoint filterFieldPoint(190, 41 + 18);
const QPoint firstRowStopButton(380 - 12 - 19, 78 + 24);

// Generous, for a sanitizer build on two busy cores.
constexpr auto startTimeout = 60s;
constexpr auto stepTimeout = 30s;

// The listener that the test stops through the panel: one TCP socket on
// 127.0.0.1 at a port the kernel picks, printed on stdout.
int runListener() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 1;
    std::printf("%d\n", int(ntohs(address.sin_port)));
    std::fflush(stdout);
    for (;;)
        ::pause(); // until the panel's signal ends it
}

// Only for processes this test started: terminate() and kill() signal the pid
// that start() gave.
void endProcess(QProcess &process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

int ms(std::chrono::milliseconds duration) {
    return int(duration.count());
}

QString describe(const QRect &r) {
    return QStringLiteral("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

struct XWindow {
    QByteArray id;
    QRect geometry;
};

// One run of a program that the test started, with its stderr kept.
struct Child {
    QProcess process;
    QByteArray errors;

    QByteArray readErrors() {
        errors += process.readAllStandardError();
        return errors;
    }
    // The last list the program reported, e.g. "2 123:8080/TCP 123:8080/UDP".
    QByteArray lastReport() {
        const QByteArray text = readErrors();
        const QByteArray marker = "quayline-report: ";
        const qsizetype at = text.lastIndexOf(marker);
        if (at < 0)
            return {};
        const qsizetype end = text.indexOf('\n', at);
        if (end < 0)
            return {}; // a line still being written
        return text.mid(at + marker.size(), end - at - marker.size());
    }
};

} // namespace

class TrayEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void missingDisplay();
    void trayHostAfterStart();
    void panelStopsAListener();

private:
    QProcessEnvironment appEnvironment() const;
    std::unique_ptr<Child> startApp();
    void stopApp(Child &app);
    void startTrayer();
    QByteArray xdotool(const QStringList &arguments, bool *ok = nullptr) const;
    QList<XWindow> visibleAppWindows() const;
    std::optional<XWindow> trayIcon() const;
    std::optional<XWindow> panel() const;
    void click(QPoint at) const;
    void screenshot(const QString &name) const;

    QString m_program;
    QString m_artifacts;
    QTemporaryDir m_home;
    QProcess m_xvfb;
    QProcess m_trayer;
    QByteArray m_display;
    std::vector<std::unique_ptr<Child>> m_apps;
    std::unique_ptr<QProcess> m_listener;
};

void TrayEndToEnd::initTestCase() {
    m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM must name the built quayline");
    m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS",
                                       QDir::current().filePath(QStringLiteral("artifacts")));
    QVERIFY(QDir().mkpath(m_artifacts));
    for (const char *tool : {"Xvfb", "trayer", "xdotool", "import"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(),
                 qPrintable(QStringLiteral("%1 is missing; tools/install-deps.sh test installs it")
                                .arg(QString::fromLatin1(tool))));
    QVERIFY(m_home.isValid());
    for (const char *dir : {"config", "data", "cache", "runtime"})
        QVERIFY(QDir(m_home.path()).mkpath(QString::fromLatin1(dir)));
    QVERIFY(QFile::setPermissions(m_home.filePath(QStringLiteral("runtime")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // -displayfd: the server picks a free display itself and prints its number.
    m_xvfb.setProgram(QStringLiteral("Xvfb"));
    m_xvfb.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                         QStringLiteral("-screen"), QStringLiteral("0"),
                         QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                         QStringLiteral("tcp"), QStringLiteral("-noreset")});
    m_xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    m_xvfb.setStandardErrorFile(QProcess::nullDevice());
    m_xvfb.start();
    QVERIFY2(m_xvfb.waitForStarted(), "Xvfb did not start");
    QVERIFY2(waitUntil([&] { return m_xvfb.canReadLine(); }, 20s), "Xvfb named no display");
    m_display = ':' + m_xvfb.readLine().trimmed();
    QVERIFY(m_display.size() > 1);
}

void TrayEndToEnd::cleanup() {
    for (auto &app : m_apps)
        endProcess(app->process);
    m_apps.clear();
    if (m_listener)
        endProcess(*m_listener);
    m_listener.reset();
}

void TrayEndToEnd::cleanupTestCase() {
    cleanup();
    endProcess(m_trayer);
    endProcess(m_xvfb);
}

QProcessEnvironment TrayEndToEnd::appEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The test's own session (or the offscreen platform that ctest sets) must not leak in.
    for (const char *name :
         {"QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE",
          "XDG_CURRENT_DESKTOP", "SESSION_MANAGER", "QT_QUICK_BACKEND"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
    // No real settings, autostart entries or session bus are touched; an
    // unreachable bus also keeps the icon on the X11 tray.
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + m_home.filePath(QStringLiteral("no-bus")));
    env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUAYLINE_TEST_REPORT"), QStringLiteral("1"));
    // The suppressions for Qt Quick's own leaks name frames deep in Qt, which
    // only the slow unwinder sees.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               asan + (asan.isEmpty() ? "" : ":") + QStringLiteral("fast_unwind_on_malloc=0"));
    return env;
}

std::unique_ptr<Child> TrayEndToEnd::startApp() {
    auto app = std::make_unique<Child>();
    app->process.setProgram(m_program);
    app->process.setProcessEnvironment(appEnvironment());
    app->process.setStandardInputFile(QProcess::nullDevice());
    app->process.setStandardOutputFile(QProcess::nullDevice());
    app->process.start();
    return app;
}

// Ends a quayline the way a logout does and expects a clean exit: status 0
// also means that LeakSanitizer found nothing.
void TrayEndToEnd::stopApp(Child &app) {
    app.process.terminate();
    const bool finished = app.process.waitForFinished(ms(stepTimeout));
    const QByteArray errors = app.readErrors();
    QVERIFY2(finished, "quayline did not end on SIGTERM");
    QVERIFY2(app.process.exitStatus() == QProcess::NormalExit && app.process.exitCode() == 0,
             errors.constData());
}

void TrayEndToEnd::startTrayer() {
    if (m_trayer.state() != QProcess::NotRunning)
        return;
    QProcessEnvironment env = appEnvironment();
    env.remove(QStringLiteral("QUAYLINE_TEST_REPORT"));
    m_trayer.setProcessEnvironment(env);
    m_trayer.setProgram(QStringLiteral("trayer"));
    m_trayer.setArguments(
        {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
         QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
         QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--SetDockType"),
         QStringLiteral("false"), QStringLiteral("--SetPartialStrut"), QStringLiteral("false")});
    m_trayer.setStandardOutputFile(QProcess::nullDevice());
    m_trayer.setStandardErrorFile(QProcess::nullDevice());
    m_trayer.start();
    QVERIFY2(m_trayer.waitForStarted(), "trayer did not start");
}

QByteArray TrayEndToEnd::xdotool(const QStringList &arguments, bool *ok) const {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("xdotool"), arguments);
    const bool done = tool.waitForFinished(10000);
    if (!done)
        endProcess(tool);
    if (ok)
        *ok = done && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    return tool.readAllStandardOutput();
}

QList<XWindow> TrayEndToEnd::visibleAppWindows() const {
    QList<XWindow> windows;
    const QByteArray ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                    QStringLiteral("--classname"), QStringLiteral("^quayline$")});
    for (const QByteArray &id : ids.split('\n')) {
        if (id.trimmed().isEmpty())
            continue;
        bool ok = false;
        const QByteArray shell = xdotool({QStringLiteral("getwindowgeometry"),
                                          QStringLiteral("--shell"), QString::fromLatin1(id)},
                                         &ok);
        if (!ok)
            continue; // gone in between
        QHash<QByteArray, int> values;
        for (const QByteArray &line : shell.split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                values.insert(line.left(eq), line.mid(eq + 1).toInt());
        }
        windows.append({id.trimmed(), QRect(values.value("X"), values.value("Y"),
                                            values.value("WIDTH"), values.value("HEIGHT"))});
    }
    return windows;
}

std::optional<XWindow> TrayEndToEnd::trayIcon() const {
    for (const XWindow &w : visibleAppWindows())
        if (w.geometry.width() <= 64 && w.geometry.height() <= 64)
            return w;
    return std::nullopt;
}

std::optional<XWindow> TrayEndToEnd::panel() const {
    for (const XWindow &w : visibleAppWindows())
        if (w.geometry.size() == panelSize)
            return w;
    return std::nullopt;
}

void TrayEndToEnd::click(QPoint at) const {
    xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("click"), QStringLiteral("1")});
}

void TrayEndToEnd::screenshot(const QString &name) const {
    QProcess import;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
    import.setProcessEnvironment(env);
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"),
                                            QDir(m_artifacts).filePath(name)});
    if (!import.waitForFinished(20000))
        qWarning("screenshot %s took too long", qPrintable(name));
}

// Without any display the program says so and ends with status 1; it does not abort.
void TrayEndToEnd::missingDisplay() {
    QProcessEnvironment env = appEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(m_program, {});
    QVERIFY(app.waitForFinished(ms(startTimeout)));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 1);
    QVERIFY(app.readAllStandardError().contains("no display"));

    // A display that is named but does not answer.
    const int unused = m_display.mid(1).toInt() + 4000;
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(unused));
    app.setProcessEnvironment(env);
    app.start(m_program, {});
    QVERIFY(app.waitForFinished(ms(startTimeout)));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 1);
    QVERIFY(app.readAllStandardError().contains("cannot connect to the window system"));
}

// Without a tray host the panel is an ordinary window and closing it quits.
// Once a host turns up, the icon appears in it and closing the window leaves
// the program in the tray.
void TrayEndToEnd::trayHostAfterStart() {
    QVERIFY2(m_trayer.state() == QProcess::NotRunning, "this case needs a display without tray");

    m_apps.push_back(startApp());
    Child &lonely = *m_apps.back();
    std::optional<XWindow> window;
    QVERIFY2(waitUntil([&] { return (window = panel()).has_value(); }, startTimeout),
             lonely.readErrors().constData());
    QVERIFY(requestWindowClose(m_display, window->id.toULong()));
    QVERIFY2(lonely.process.waitForFinished(ms(stepTimeout)),
             "closing the only window did not quit");
    QCOMPARE(lonely.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(lonely.process.exitCode() == 0, lonely.readErrors().constData());

    m_apps.push_back(startApp());
    Child &app = *m_apps.back();
    QVERIFY2(waitUntil([&] { return (window = panel()).has_value(); }, startTimeout),
             app.readErrors().constData());
    startTrayer();
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(waitUntil([&] { return trayIcon().has_value(); }, startTimeout),
             "the icon did not appear in a tray host started later");

    QVERIFY(requestWindowClose(m_display, window->id.toULong()));
    QVERIFY(waitUntil([&] { return !panel().has_value(); }, stepTimeout));
    QCOMPARE(app.process.state(), QProcess::Running);

    // The icon now brings the panel back, as a popover below it.
    const XWindow icon = *trayIcon();
    click(icon.geometry.center() - QPoint(6, 0));
    QVERIFY2(waitUntil([&] { return (window = panel()).has_value(); }, stepTimeout),
             "the tray icon did not open the panel");
    QVERIFY2(window->geometry.top() > icon.geometry.bottom(),
             qPrintable(QStringLiteral("panel %1, icon %2")
                            .arg(describe(window->geometry), describe(icon.geometry))));
    stopApp(app);
}

void TrayEndToEnd::panelStopsAListener() {
    startTrayer();
    if (QTest::currentTestFailed())
        return;

    // The listener first, so that the panel's first scan finds it.
    m_listener = std::make_unique<QProcess>();
    m_listener->setStandardErrorFile(QProcess::nullDevice());
    m_listener->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--listen")});
    QVERIFY(m_listener->waitForStarted());
    QVERIFY(waitUntil([&] { return m_listener->canReadLine(); }, stepTimeout));
    const int port = m_listener->readLine().trimmed().toInt();
    QVERIFY(port > 0);
    const QByteArray ownRow =
        QByteArray::number(m_listener->processId()) + ':' + QByteArray::number(port) + "/TCP";

    QElapsedTimer launch;
    launch.start();
    m_apps.push_back(startApp());
    Child &app = *m_apps.back();
    std::optional<XWindow> icon;
    QVERIFY2(waitUntil([&] { return (icon = trayIcon()).has_value(); }, startTimeout),
             app.readErrors().constData());
    qInfo("launch to tray icon: %lld ms", qint64(launch.elapsed()));

    // A click opens the panel below the icon, inside the screen; a second one closes it.
    click(icon->geometry.center() - QPoint(6, 0));
    std::optional<XWindow> shown;
    QVERIFY2(waitUntil([&] { return (shown = panel()).has_value(); }, stepTimeout),
             "the tray icon did not open the panel");
    QVERIFY2(shown->geometry.top() > icon->geometry.bottom(),
             qPrintable(QStringLiteral("panel %1, icon %2")
                            .arg(describe(shown->geometry), describe(icon->geometry))));
    QVERIFY(QRect(0, 0, 1280, 800).contains(shown->geometry));
    QVERIFY2(waitUntil([&] { return !app.lastReport().isEmpty(); }, stepTimeout),
             "the panel's first scan never ended");
    // Apart from the first click, so that the two never count as a double click.
    click(icon->geometry.center() + QPoint(6, 0));
    QVERIFY2(waitUntil([&] { return !panel().has_value(); }, stepTimeout),
             "a second click did not close the panel");

    // Starting the program again adds no icon; the running one shows its panel.
    {
        std::unique_ptr<Child> again = startApp();
        QVERIFY(again->process.waitForFinished(ms(startTimeout)));
        QVERIFY2(again->process.exitStatus() == QProcess::NormalExit &&
                     again->process.exitCode() == 0,
                 again->readErrors().constData());
    }
    QVERIFY2(waitUntil([&] { return (shown = panel()).has_value(); }, stepTimeout),
             "a second start did not bring up the panel");
    int icons = 0;
    for (const XWindow &w : visibleAppWindows())
        icons += w.geometry.width() <= 64 ? 1 : 0;
    QCOMPARE(icons, 1);

    // Narrow the list to the listener's port, typed into the filter field.
    const QPoint origin = shown->geometry.topLeft();
    click(origin + filterFieldPoint);
    xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"),
             QString::number(port)});
    QVERIFY2(
        waitUntil([&] { return app.lastReport() == "1 " + ownRow; }, stepTimeout),
        qPrintable(QStringLiteral("the panel never listed only %1; last list: %2")
                       .arg(QString::fromLatin1(ownRow), QString::fromLatin1(app.lastReport()))));
    screenshot(QStringLiteral("panel-with-listener.png"));

    // The panel may have refreshed meanwhile; the row under the pointer must still be ours.
    QCOMPARE(app.lastReport(), "1 " + ownRow);
    click(origin + firstRowStopButton);
    QVERIFY2(m_listener->waitForFinished(ms(stepTimeout)),
             "pressing Kill did not stop the listener");
    QCOMPARE(m_listener->exitStatus(), QProcess::CrashExit); // ended by a signal
    // The refresh after the signal takes the row away.
    QVERIFY(waitUntil([&] { return app.lastReport() == "0"; }, stepTimeout));
    screenshot(QStringLiteral("panel-after-kill.png"));

    stopApp(app);
}

int main(int argc, char *argv[]) {
    if (argc > 1 && qstrcmp(argv[1], "--listen") == 0)
        return runListener();
    QCoreApplication app(argc, argv);
    TrayEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_e2e.moc"
