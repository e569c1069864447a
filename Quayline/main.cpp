// quayline: the tray program. main() only puts the parts together; each part
// lives in its own class under shell/.
#include "Quayline/shell/DisplayCheck.h"
#include "Quayline/shell/PlatformChoice.h"
#include "Quayline/shell/QuitOnSignal.h"
#include "Quayline/shell/SingleInstance.h"
#include "Quayline/shell/TrayShell.h"
#include "keeper/Keepers.h"
#include "notify/PortNotifier.h"
#include "scanner/ChangeCheck.h"
#include "scanner/KeeperAnnotation.h"
#include "scanner/PortWatch.h"
#include "viewmodel/LiveRefresh.h"
#include "viewmodel/PortListViewModel.h"
#include "viewmodel/RowText.h"
#ifdef QUAYLINE_TEST_HOOKS
#include "Quayline/shell/ListReport.h"
#endif

#include <QApplication>
#include <QIcon>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QThreadPool>
#include <QtQml/qqmlextensionplugin.h>
#include <cstdio>
#include <memory>
#include <optional>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

int main(int argc, char *argv[]) {
    const bool choseXWayland = PlatformChoice::apply();
    if (const QString reason = DisplayCheck::missingDisplayReason(); !reason.isEmpty()) {
        std::fprintf(stderr,
                     "quayline: no display to show the tray icon on (%s).\n"
                     "Quayline is a desktop program; start it from a graphical session.\n",
                     qPrintable(reason));
        return DisplayCheck::exitStatus;
    }

    // A panel of text and a few glyphs gains nothing from the GPU, and the
    // software renderer keeps the resident size of an always-running program
    // small. QT_QUICK_BACKEND still chooses otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    // Qt asks for the next frame this long after an update request, 5 ms unless
    // told otherwise. The busy indicator requests one after every frame, so the
    // software renderer would draw up to 200 frames a second while a scan runs,
    // on screens that show 60.
    if (qEnvironmentVariableIsEmpty("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "16");

    QApplication::setApplicationName(QStringLiteral("Quayline"));
    QApplication::setOrganizationName(QStringLiteral("Quayline"));
    QApplication::setDesktopFileName(QStringLiteral("quayline"));

    std::optional<QApplication> app;
    {
        DisplayCheck::FatalStartGuard guard;
        app.emplace(argc, argv);
    }
    if (choseXWayland)
        PlatformChoice::restore();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quayline/quayline.svg")));
    RowText::installTranslations();
    // The windows come and go; the program lives in the tray until Quit.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(SingleInstance::defaultSocketPath());
    if (instance.claim() == SingleInstance::Role::AlreadyRunning)
        return 0;

    QuitOnSignal quitOnSignal;
    // Units and containers are asked over D-Bus and the engine's socket, each
    // question with its time limit: never on the GUI thread. A pool of their
    // own, so that a stop waiting out a container's grace holds up no scan.
    // Made before the model and the lsof runs, so its destruction waits for
    // them after both went: a run that ends during the quit still hands its
    // scan to this pool.
    QThreadPool keeperThreads;
    keeperThreads.setMaxThreadCount(4);
    // Made before the model and so destroyed after it; its destruction waits
    // for the runs' threads. An lsof still running (a hung one has up to 30 s
    // left) must not outlive the program, nor hold up its quit.
    LsofRuns lsofRuns;
    QObject::connect(&*app, &QCoreApplication::aboutToQuit, &*app,
                     [&lsofRuns] { lsofRuns.endAll(); });
    const auto keepers = std::make_shared<Keepers>();
    // Created once and kept to the end; it reads its settings and starts nothing.
    PortListViewModel::Dependencies dependencies;
    // A refresh reads the kernel's socket table first and runs lsof only where
    // it moved (or a minute has passed); the button and Ctrl+R always do.
    const auto check = std::make_shared<ChangeCheck>(PortScanner(lsofRuns));
    // Each row learns its unit's Restart= or its container's restart policy
    // after lsof, before the model sees it.
    const auto annotation = std::make_shared<KeeperAnnotation>(keepers);
    const auto annotated = [annotation, &keeperThreads](QFuture<ScanResult> scan) {
        return scan.then(&keeperThreads, [annotation](ScanResult result) {
            annotation->apply(result);
            return result;
        });
    };
    dependencies.scan = [check, annotated] { return annotated(check->refresh()); };
    dependencies.fullScan = [check, annotated] { return annotated(check->fullScan()); };
    dependencies.keepers = keepers;
    dependencies.keeperThreads = &keeperThreads;
    PortListViewModel model(std::move(dependencies));
#ifdef QUAYLINE_TEST_HOOKS
    if (ListReport::isRequested())
        new ListReport(&model); // a child of the model
#endif
    // Between the timer's refreshes: a port that opens or closes shows at once
    // while the panel is open, and the watched ports are followed while it is
    // closed, by the kernel's table alone.
    PortWatch watch(*check, {LiveRefresh::hiddenPoll, std::chrono::milliseconds(0)});
    PortNotifier notifier;
    QObject::connect(&watch, &PortWatch::events, &notifier,
                     [&notifier, &watch](const PortEventList &events) {
                         notifier.handle(events, watch.entries());
                     });
    TrayShell shell(&model);
    shell.setNotifier(&notifier);
    QObject::connect(&instance, &SingleInstance::activationRequested, &shell,
                     &TrayShell::showPanel);
    QObject::connect(&notifier, &PortNotifier::openRequested, &shell, [&model, &shell](int port) {
        model.setSearchText(QString::number(port));
        shell.showPanel();
    });
    // After the shell, which tells the model that no window shows it yet.
    LiveRefresh live(model, watch);
    const auto followWatchedPorts = [&live, &notifier] {
        // Nobody would hear of them without a notification service.
        const QList<int> &ports = notifier.watchedPorts();
        live.setWatchedPorts(notifier.serviceAvailable()
                                 ? QSet<qint64>(ports.cbegin(), ports.cend())
                                 : QSet<qint64>());
    };
    followWatchedPorts();
    QObject::connect(&notifier, &PortNotifier::watchedPortsChanged, &live, followWatchedPorts);
    QObject::connect(&notifier, &PortNotifier::serviceAvailableChanged, &live, followWatchedPorts);
    if (!shell.start())
        return 1;
    return app->exec();
}
