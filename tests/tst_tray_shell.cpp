// The tray program's logic outside the views: the one-instance guard, and
// that the auto-refresh timer scans only while one of its windows is on screen.
#include "Quayline/shell/SingleInstance.h"
#include "Quayline/shell/TrayShell.h"
#include "QuickFullStacks.h"
#include "viewmodel/PortListViewModel.h"

#include <QApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

using namespace std::chrono_literals;

namespace {

// One thing the user does to the program's windows, and whether the next
// auto-refresh tick after it should scan.
enum class Action { ShowPanel, HidePanel, OpenSettings, CloseSettings };
struct Step {
    Action action;
    bool tickScans;
};
using Steps = QList<Step>;

// The tray program's parts, as main() puts them together, over a model whose
// scans finish at once and are counted, ticking every second.
struct Program {
    QTemporaryDir dir;
    int scans = 0;
    std::unique_ptr<PortListViewModel> model;
    std::unique_ptr<TrayShell> shell;
    QTimer *timer = nullptr;

    Program() {
        auto settings = std::make_unique<QSettings>(dir.filePath("q.conf"), QSettings::IniFormat);
        settings->setValue("refreshInterval", 1);
        model = std::make_unique<PortListViewModel>(
            PortListViewModel::Dependencies{[this] {
                                                ++scans;
                                                return QtFuture::makeReadyFuture(ScanResult{});
                                            },
                                            std::move(settings)});
        shell = std::make_unique<TrayShell>(model.get());
        timer = model->findChild<QTimer *>("autoRefreshTimer");
    }
    ~Program() { shell.reset(); } // the windows before the model they show

    static QWindow *window(const QString &title) {
        for (QWindow *window : QGuiApplication::topLevelWindows())
            if (window->title() == title)
                return window;
        return nullptr;
    }

    void act(Action action) {
        switch (action) {
        case Action::ShowPanel:
            shell->showPanel();
            break;
        case Action::HidePanel:
            window("Quayline")->hide();
            break;
        case Action::OpenSettings:
            shell->openSettings();
            break;
        case Action::CloseSettings:
            window("Quayline Settings")->hide();
            break;
        }
    }

    bool nextTick() {
        QSignalSpy ticks(timer, &QTimer::timeout);
        return ticks.wait(5000);
    }
};

} // namespace

Q_DECLARE_METATYPE(Steps)

class TrayShellTest : public QObject {
    Q_OBJECT

private slots:
    // A second start asks the first to show its panel and ends.
    void secondInstanceAsksTheFirst() {
        QTemporaryDir dir;
        const QString path = dir.filePath("q.socket");
        SingleInstance first(path);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy activations(&first, &SingleInstance::activationRequested);
        // Both live in this thread, so the first cannot answer while the
        // second waits; the second must not take silence for absence.
        SingleInstance second(path);
        QCOMPARE(second.claim(200ms), SingleInstance::Role::AlreadyRunning);
        QVERIFY(activations.wait(5000));
    }

    // With no tray host (offscreen) the panel opens at start; from then on the
    // timer ticks, and a tick scans only while the panel or the settings
    // window is on screen.
    void ticksScanOnlyWhileAWindowIsShown_data() {
        QTest::addColumn<Steps>("steps");
        using enum Action;
        QTest::newRow("panel shown again") << Steps{{HidePanel, false}, {ShowPanel, true}};
        QTest::newRow("settings window alone")
            << Steps{{HidePanel, false}, {OpenSettings, true}, {CloseSettings, false}};
        QTest::newRow("settings window closed, panel still shown")
            << Steps{{OpenSettings, true}, {CloseSettings, true}};
    }
    void ticksScanOnlyWhileAWindowIsShown() {
        QFETCH(Steps, steps);
        Program program;
        QVERIFY(program.timer);
        QVERIFY(program.shell->start());
        QCOMPARE(program.scans, 1); // the panel's own scan as it opens
        QVERIFY(program.nextTick());
        QCOMPARE(program.scans, 2);
        for (const Step &step : steps) {
            program.act(step.action);
            const int before = program.scans;
            QVERIFY(program.nextTick());
            QVERIFY2(program.scans == before + (step.tickScans ? 1 : 0),
                     qPrintable(QString("step %1").arg(int(&step - steps.data()))));
        }
    }
};

int main(int argc, char *argv[]) {
    QTemporaryDir config; // the settings view reads the autostart folder
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // No session bus, so no StatusNotifier host: the panel opens as a window.
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            "unix:path=" + QFile::encodeName(config.filePath("no-bus")));
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TrayShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_shell.moc"
