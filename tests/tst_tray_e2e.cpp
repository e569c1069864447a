// The tray program end to end, as quayline-testhooks (the same program with
// the list report below compiled in): Xvfb, trayer as a tray host that turns
// up after the program started, and xdotool for the user's clicks and keys.
//
// Safety: CI runs this as root, and "Kill" is pressed by its screen position.
// It is pressed only once the program has reported (Quayline/shell/ListReport.h)
// that its list holds exactly the test's own listener. Every process the test
// signals is one it started, by the pid QProcess got then.
#include "KernelFixtures.h"
#include "X11Session.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <cstdio>
#include <unistd.h>

using namespace x11session;

namespace {

// From the panel's fixed layout: the filter field, and the stop button at the
// right end of the first row.
const QSize panelSize(380, 460);
// Two clicks on the icon this far apart are never taken for a double click.
const QPoint clickApart(6, 0);
const QPoint filterField(190, 59);
const QPoint firstStopButton(349, 102);

// The program's windows that xdotool can tell apart by their size.
enum class Window { TrayIcon, Panel };

// The line the program prints when the panel's list holds exactly one TCP
// listener: "1 PID:PORT/TCP".
QByteArray onlyListener(qint64 pid, int port) {
    return "1 " + QByteArray::number(pid) + ':' + QByteArray::number(port) + "/TCP";
}

} // namespace

class TrayEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QString m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS", "artifacts");
    QString m_display;
    QProcess m_xvfb, m_trayer, m_app, m_listener;
    QByteArray m_appErrors;

    // Without a session bus the icon goes to the X11 tray.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = x11session::environment(m_display, m_home.path(),
                                                          "unix:path=" + m_home.filePath("no-bus"));
        env.insert("QUAYLINE_TEST_REPORT", "1");
        return env;
    }

    void start(QProcess &process, const QString &program, const QStringList &arguments) const {
        x11session::start(process, program, arguments, environment());
    }

    QByteArray run(const QString &program, const QStringList &arguments) const {
        return x11session::run(program, arguments, environment());
    }

    void click(QPoint at) const {
        run("xdotool",
            {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    // X11 names a program's windows after its file (quayline-testhooks here).
    QString windowClassName() const {
        return '^' + QRegularExpression::escape(QFileInfo(m_program).fileName()) + '$';
    }

    // The program's visible windows of one kind.
    QList<QRect> windows(Window kind) const {
        return x11session::windows(windowClassName(), environment(), [&](const QRect &r) {
            return kind == Window::TrayIcon ? isIcon(r) : r.size() == panelSize;
        });
    }

    // The last list the program reported, e.g. "2 123:8080/TCP 123:8080/UDP".
    QByteArray lastReport() {
        m_appErrors += m_app.readAllStandardError();
        return x11session::lastReport(m_appErrors);
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM names no program");
        for (const char *tool : {"Xvfb", "trayer", "xdotool", "import"})
            QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(), tool);
        QVERIFY(QDir().mkpath(m_artifacts));
        m_display = startXvfb(m_xvfb);
        QVERIFY(!m_display.isEmpty());
    }

    void cleanupTestCase() {
        for (QProcess *process : {&m_app, &m_listener, &m_trayer, &m_xvfb})
            endProcess(*process);
    }

    // Without a display, or with one that does not answer, the program says
    // so and ends with status 1; it does not abort.
    void missingDisplay() {
        for (const QString &display :
             {QString(), ":" + QString::number(m_display.mid(1).toInt() + 4000)}) {
            QProcessEnvironment env = environment();
            env.insert("DISPLAY", display);
            QProcess app;
            app.setProcessEnvironment(env);
            app.start(m_program, {});
            QVERIFY(app.waitForFinished(startMs));
            const QByteArray errors = app.readAllStandardError();
            QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 1 &&
                         errors.contains(display.isEmpty() ? "no display" : "cannot connect"),
                     errors.constData());
        }
    }

    // The program run by an ordinary user, for whom lsof sees nothing of
    // root's: a root service in its unit's cgroup is listed with its owner
    // and unit (and its pid, the one process of that cgroup). Before the
    // tray host starts, so that the panel comes up as an ordinary window.
    void ordinaryUserSeesRootService() {
        if (::geteuid() != 0)
            QSKIP("making the user this check runs as needs root");
        CgroupPaths cgroups;
        ServiceInCgroup inUnit(cgroups);
        if (!inUnit.listener)
            QSKIP("no writable cgroup2 hierarchy here");
        const Listener &service = *inUnit.listener;
        QVERIFY(service.port);
        const TestUser viewer("quayline-trayview");
        QVERIFY2(viewer.ready, "could not make the user this check runs as");

        // The user's own home, runtime folder and copy of the program.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString home = dir.filePath("home");
        const QString program = home + '/' + QFileInfo(m_program).fileName();
        QVERIFY(QDir().mkpath(home) && QFile::copy(m_program, program));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ExeOther);
        for (const QString &path : {home, program})
            QVERIFY(::chown(QFile::encodeName(path).constData(), *viewer.uid(), gid_t(-1)) == 0);
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcessEnvironment env =
            x11session::environment(m_display, home, "unix:path=" + home + "/no-bus");
        env.insert("QUAYLINE_TEST_REPORT", "1");
        QProcess app;
        const auto ending = qScopeGuard([&] { endProcess(app); });
        x11session::start(app, "/usr/bin/setpriv", viewer.as() + QStringList{program}, env);
        QRect panel;
        QByteArray errors;
        QVERIFY2(waitFor(
                     [&] {
                         panel =
                             x11session::windows(
                                 '^' + QRegularExpression::escape(QFileInfo(program).fileName()) +
                                     '$',
                                 env, [](const QRect &r) { return r.size() == panelSize; })
                                 .value(0);
                         return panel.isValid();
                     },
                     startMs),
                 (errors += app.readAllStandardError()).constData());
        run("xdotool", {"mousemove", QString::number(panel.x() + filterField.x()),
                        QString::number(panel.y() + filterField.y()), "click", "1"});
        run("xdotool", {"type", "--delay", "30", QString::number(service.port)});
        const QByteArray expected = "1 " + QByteArray::number(service.process.processId()) + ':' +
                                    QByteArray::number(service.port) +
                                    "/TCP[root,%20demo-web.service]";
        const auto report = [&] {
            errors += app.readAllStandardError();
            const qsizetype at = errors.lastIndexOf("quayline-report: ");
            return at < 0 ? QByteArray() : errors.mid(at + 17, errors.indexOf('\n', at) - at - 17);
        };
        QVERIFY2(waitFor([&] { return report() == expected; }, stepMs),
                 ("last list: " + report()).constData());
        run("import", {"-window", "root", QDir(m_artifacts).filePath("panel-root-service.png")});
    }

    void panelStopsTheTestsListener() {
        // The listener first, so that the panel's first scan finds it.
        start(m_listener, QCoreApplication::applicationFilePath(), {"--listen"});
        QVERIFY(waitFor([&] { return m_listener.canReadLine(); }, stepMs));
        const int port = m_listener.readLine().trimmed().toInt();
        QVERIFY(port > 0);
        const QByteArray ownList = onlyListener(m_listener.processId(), port);

        // No tray host yet: the panel comes up as an ordinary window.
        start(m_app, m_program, {});
        QVERIFY2(waitFor([&] { return !windows(Window::Panel).isEmpty(); }, startMs),
                 (m_appErrors += m_app.readAllStandardError()).constData());

        // A host that turns up later gets the icon, and a click on the icon
        // makes the panel a popover right below it.
        startTrayer(m_trayer, environment());
        QRect icon, panel;
        QVERIFY2(
            waitFor([&] { return (icon = windows(Window::TrayIcon).value(0)).isValid(); }, startMs),
            "no icon in a tray host started later");
        click(icon.center() - clickApart);
        // Not the middle of the screen, where the ordinary window was.
        const QRect belowIcon(0, icon.bottom() + 1, screenSize.width(), 16);
        QVERIFY(waitFor(
            [&] {
                panel = windows(Window::Panel).value(0);
                return belowIcon.contains(panel.topLeft());
            },
            stepMs));
        QVERIFY(waitFor([&] { return !lastReport().isEmpty(); }, stepMs));
        // A second click (apart from the first, so never a double click) closes it.
        click(icon.center() + clickApart);
        QVERIFY(waitFor([&] { return windows(Window::Panel).isEmpty(); }, stepMs));

        // A second start adds no icon; the running program shows its panel.
        QProcess again;
        start(again, m_program, {});
        QVERIFY(again.waitForFinished(startMs));
        QCOMPARE(again.exitCode(), 0);
        QVERIFY(
            waitFor([&] { return (panel = windows(Window::Panel).value(0)).isValid(); }, stepMs));
        QCOMPARE(windows(Window::TrayIcon).size(), 1);

        // Narrowed to the listener's port, typed into the filter field.
        click(panel.topLeft() + filterField);
        run("xdotool", {"type", "--delay", "30", QString::number(port)});
        QVERIFY2(waitFor([&] { return lastReport() == ownList; }, stepMs),
                 ("last list: " + lastReport()).constData());
        run("import", {"-window", "root", QDir(m_artifacts).filePath("panel-with-listener.png")});
        // The panel may have refreshed meanwhile; the row under the pointer must still be ours.
        QCOMPARE(lastReport(), ownList);
        click(panel.topLeft() + firstStopButton);
        QVERIFY2(m_listener.waitForFinished(stepMs), "pressing Kill did not stop the listener");
        QCOMPARE(m_listener.exitStatus(), QProcess::CrashExit); // ended by a signal
        QVERIFY(waitFor([&] { return lastReport() == "0"; }, stepMs));

        // Ended as a logout does: status 0 also means LeakSanitizer found nothing.
        m_app.terminate();
        QVERIFY(m_app.waitForFinished(stepMs));
        QVERIFY2(m_app.exitStatus() == QProcess::NormalExit && m_app.exitCode() == 0,
                 (m_appErrors + m_app.readAllStandardError()).constData());
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--listen") == 0) {
        // The listener that the panel stops: TCP on 127.0.0.1, its port on stdout.
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost))
            return 1;
        std::printf("%d\n", int(server.serverPort()));
        std::fflush(stdout);
        for (;;)
            ::pause(); // until the panel's signal ends it
    }
    TrayEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_e2e.moc"
