// Figures for the port list model: the filter as the user types into it, and a
// refresh that brings the list already shown.
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr qsizetype listSize = 10'000;
qsizetype keepAlive = 0; // so that the timed reads are not optimised away

// Entries shaped like a busy machine's: a dozen process names over many pids,
// a few of them beyond ASCII, TCP and UDP, ports spread over the range.
PortEntryList syntheticEntries(qsizetype count) {
    static const char *const names[] = {
        "sshd",    "cupsd", "systemd-resolve", "postgres",        "nginx",    "Web Content", "java",
        "dnsmasq", "node",  "containerd",      "Bäckerei-Server", "résolveur"};
    static const char *const users[] = {"root", "postgres", "www-data", "alice"};
    PortEntryList entries;
    entries.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const qint32 pid = qint32(300 + i / 3);
        const bool udp = i % 5 == 4;
        entries.append(PortEntry(pid, QString::fromUtf8(names[pid % std::size(names)]),
                                 QString::fromLatin1(users[pid % std::size(users)]),
                                 udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
                                 QStringLiteral("IPv4"), QStringLiteral("*"), 1 + (i * 7) % 65535,
                                 udp ? QString() : QStringLiteral("LISTEN")));
    }
    std::sort(entries.begin(), entries.end(), [](const PortEntry &a, const PortEntry &b) {
        return std::tie(a.port, a.networkProtocol) < std::tie(b.port, b.networkProtocol);
    });
    return entries;
}

struct Model {
    QTemporaryDir dir;
    ScanResult next;
    std::unique_ptr<PortListViewModel> vm;

    Model() {
        PortListViewModel::Dependencies deps;
        deps.scan = [this] { return QtFuture::makeReadyFuture(next); };
        deps.settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("q.conf")),
                                                    QSettings::IniFormat);
        vm = std::make_unique<PortListViewModel>(std::move(deps));
    }
    void refresh(const PortEntryList &entries) {
        next = ScanResult{entries, std::nullopt};
        QFuture<void> done = vm->refresh();
        while (!done.isFinished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
};

// Counts the signals connected to hit(), whatever their arguments.
class SignalCounter : public QObject {
    Q_OBJECT
public:
    // Every signal that sender declares, except destroyed and objectNameChanged.
    void watchAll(QObject *sender) {
        const QMetaObject *meta = sender->metaObject();
        const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("hit()"));
        for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(sender, meta->method(i), this, slot);
        }
    }
    int count = 0;
public slots:
    void hit() { ++count; }
};

struct Spread {
    double median, max;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return {n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, values.back()};
}

} // namespace

void benchFilterKeystrokes() {
    std::printf("Filter over %lld entries, one keystroke at a time (median / max over all "
                "keystrokes)\n",
                qlonglong(listSize));
    Model model;
    model.refresh(syntheticEntries(listSize));
    const QString queries[] = {QStringLiteral("postgres"), QStringLiteral("8080"),
                               QStringLiteral("web content"), QStringLiteral("BÄCKEREI"),
                               QStringLiteral("zzz")};
    std::printf("  %-14s  %22s  %22s  %8s\n", "typed", "filtered rows ms", "whole keystroke ms",
                "rows");
    std::vector<double> allRead, allKeystroke;
    for (const QString &query : queries) {
        std::vector<double> read, keystroke;
        int rows = 0; // shown with the whole query typed
        for (int round = 0; round < 15; ++round) {
            for (qsizetype typed = 0; typed <= query.size(); ++typed) {
                // Typing, then clearing the field again: both directions count.
                const QString text = typed < query.size() ? query.left(typed + 1) : QString();
                QElapsedTimer timer;
                timer.start();
                // What the field does on each keystroke: set the text, which
                // brings the row model up to date...
                model.vm->setSearchText(text);
                const double set = double(timer.nsecsElapsed()) / 1e6;
                timer.restart();
                // ... and what a view reads when it redraws.
                keepAlive += model.vm->filteredModel()->entries().size();
                const double get = double(timer.nsecsElapsed()) / 1e6;
                if (typed + 1 == query.size())
                    rows = model.vm->filteredModel()->count();
                if (round == 0)
                    continue; // warm-up
                read.push_back(get);
                keystroke.push_back(set + get);
            }
        }
        const Spread r = spread(read), k = spread(keystroke);
        std::printf("  %-14s  %10.3f / %9.3f  %10.3f / %9.3f  %8lld\n", qPrintable(query), r.median,
                    r.max, k.median, k.max, qlonglong(rows));
        allRead.insert(allRead.end(), read.begin(), read.end());
        allKeystroke.insert(allKeystroke.end(), keystroke.begin(), keystroke.end());
    }
    const Spread r = spread(allRead), k = spread(allKeystroke);
    std::printf("  %-14s  %10.3f / %9.3f  %10.3f / %9.3f\n", "all", r.median, r.max, k.median,
                k.max);
    std::printf("  aim: the filtered rows under 2 ms per keystroke\n\n");
}

void benchIdenticalRefresh() {
    std::printf("A refresh whose result equals the list shown (%lld entries)\n",
                qlonglong(listSize));
    Model model;
    const PortEntryList entries = syntheticEntries(listSize);
    model.refresh(entries);
    model.vm->setSearchText(QStringLiteral("node")); // a filter in place as well

    // Every signal of the row model and of the model itself.
    PortListModel *rows = model.vm->filteredModel();
    SignalCounter rowSignals, modelSignals;
    rowSignals.watchAll(rows);
    modelSignals.watchAll(model.vm.get());
    int entriesSignals = 0;
    QObject::connect(model.vm.get(), &PortListViewModel::entriesChanged, [&] { ++entriesSignals; });
    QObject::connect(model.vm.get(), &PortListViewModel::filteredRowsChanged,
                     [&] { ++entriesSignals; });
    const void *rowStorage = rows->entries().constData();
    const void *entriesStorage = model.vm->entries().constData();

    std::vector<double> times;
    for (int i = 0; i < 31; ++i) {
        const PortEntryList copy = syntheticEntries(listSize); // equal, but not shared
        QElapsedTimer timer;
        timer.start();
        model.refresh(copy);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    const Spread t = spread(times);
    std::printf("  refresh (scan result to stored) %8.3f ms median, %8.3f ms max\n", t.median,
                t.max);
    // Each refresh still reports isLoading twice, by design.
    std::printf("  signals over %zu refreshes: row model %d; entriesChanged and "
                "filteredRowsChanged %d; all of the model's %d\n",
                times.size(), rowSignals.count, entriesSignals, modelSignals.count);
    std::printf("  row model: same object %s, row storage kept %s; entries storage kept %s\n",
                model.vm->filteredModel() == rows ? "yes" : "no",
                rows->entries().constData() == rowStorage ? "yes" : "no",
                model.vm->entries().constData() == entriesStorage ? "yes" : "no");
    std::printf("  aim: no change signal and nothing new allocated for the rows\n\n");
}

#include "bench_viewmodel.moc"
