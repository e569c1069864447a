// quayline-panel-latency: how long the panel takes from a keystroke in its
// filter field to the frame that shows the narrowed list, with many entries
// (10,000 unless a count is given). Runs the real panel view over a model
// fed by a scan of made-up entries, on the software renderer the program
// uses; run it on the display you care about (Xvfb, say).
//
//   quayline-panel-latency [COUNT]
#include "Quayline/shell/PopoverWindow.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSGRendererInterface>
#include <QSettings>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>
#include <algorithm>
#include <cstdio>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

namespace {

PortEntryList madeUpEntries(int count) {
    PortEntryList entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        const bool tcp = i % 3 != 0;
        entries.append(PortEntry(
            2000 + i / 4, QStringLiteral("service-%1").arg(i % 700), QStringLiteral("nobody"),
            tcp ? QStringLiteral("TCP") : QStringLiteral("UDP"), QStringLiteral("IPv4"),
            QStringLiteral("127.0.0.1"), 1024 + i, tcp ? QStringLiteral("LISTEN") : QString()));
    }
    return entries;
}

// Waits for the next frame that reaches the screen; false after a second without one.
bool waitForFrame(QQuickWindow &window) {
    bool swapped = false;
    const auto connection =
        QObject::connect(&window, &QQuickWindow::frameSwapped, [&] { swapped = true; });
    QElapsedTimer waited;
    waited.start();
    while (!swapped && waited.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QObject::disconnect(connection);
    return swapped;
}

// A key press and release as the window system delivers them.
void pressKey(QQuickWindow &window, Qt::Key key, char text) {
    const QString typed = text ? QString(QLatin1Char(text)) : QString();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, typed);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, typed);
    QCoreApplication::sendEvent(&window, &press);
    QCoreApplication::sendEvent(&window, &release);
}

} // namespace

int main(int argc, char *argv[]) {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;

    QTemporaryDir settingsDir;
    PortListViewModel::Dependencies dependencies;
    const PortEntryList entries = madeUpEntries(count);
    dependencies.scan = [entries] { return QtFuture::makeReadyFuture(ScanResult{entries, {}}); };
    dependencies.settings = std::make_unique<QSettings>(
        settingsDir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    dependencies.settings->setValue(QStringLiteral("autoRefreshEnabled"), false);
    PortListViewModel model(std::move(dependencies));

    QQmlEngine engine;
    PopoverWindow window(&engine);
    const QString errors =
        window.load(QUrl(QStringLiteral("qrc:/Quayline/PopoverView.qml")),
                    {{QStringLiteral("viewModel"), QVariant::fromValue(&model)}});
    if (!errors.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(errors));
        return 1;
    }
    window.present(PopoverWindow::Mode::Window);
    QElapsedTimer loading;
    loading.start();
    while (model.entries().size() != count && loading.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    waitForFrame(window);

    auto *field = window.rootObject()->findChild<QQuickItem *>(QStringLiteral("filterField"));
    if (!field) {
        std::fprintf(stderr, "no filterField in the panel\n");
        return 1;
    }
    field->forceActiveFocus();
    waitForFrame(window);

    // Narrowing keystrokes, then back to the full list.
    const struct {
        Qt::Key key;
        char text;
    } strokes[] = {
        {Qt::Key_1, '1'},       {Qt::Key_2, '2'},       {Qt::Key_3, '3'}, {Qt::Key_Backspace, 0},
        {Qt::Key_Backspace, 0}, {Qt::Key_Backspace, 0}, {Qt::Key_S, 's'}, {Qt::Key_E, 'e'},
        {Qt::Key_Backspace, 0}, {Qt::Key_Backspace, 0}, {Qt::Key_9, '9'}, {Qt::Key_Backspace, 0},
    };
    QList<double> times;
    for (int round = 0; round < 5; ++round) {
        for (const auto &stroke : strokes) {
            QElapsedTimer timer;
            timer.start();
            pressKey(window, stroke.key, stroke.text);
            const bool drawn = waitForFrame(window);
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            if (!drawn) {
                std::fprintf(stderr, "no frame after a keystroke (filter \"%s\")\n",
                             qPrintable(model.searchText()));
                return 1;
            }
            if (round == 0)
                std::printf("filter %-6s %6lld rows  %7.2f ms\n",
                            qPrintable(QLatin1Char('"') + model.searchText() + QLatin1Char('"')),
                            qint64(model.filteredModel()->count()), ms);
            times.append(ms);
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("%d entries, %lld keystrokes: median %.2f ms, 90th percentile %.2f ms, "
                "max %.2f ms\n",
                count, qint64(times.size()), times.at(times.size() / 2),
                times.at(times.size() * 9 / 10), times.last());
    return 0;
}
