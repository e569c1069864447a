// What finding the keepers of rows costs a refresh: a unit's Restart= over
// D-Bus (a service manager of the bench's own on a private bus) and a
// container's restart policy from the engine (a socket of the bench's own
// answering as Docker does; with QUAYLINE_BENCH_DOCKER=1 and root, also a real
// dockerd), each asked for the first time and then from what was kept.
#include "../tests/DockerDaemon.h"
#include "../tests/EngineSocket.h"
#include "../tests/FakeServiceManager.h"
#include "keeper/Keepers.h"
#include "keeper/ServiceManager.h"
#include "scanner/ContainerEngine.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int rowCount = 200;

double medianUs(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Microseconds per row of annotate() over rows, on fresh Keepers (nothing
// kept) and on one that has seen them (everything kept).
template <typename Make> std::pair<double, double> perRow(Make make, const PortEntryList &rows) {
    std::vector<double> first, kept;
    for (int round = 0; round < 5; ++round) {
        Keepers keepers = make();
        PortEntryList copy = rows;
        QElapsedTimer timer;
        timer.start();
        keepers.annotate(copy);
        first.push_back(double(timer.nsecsElapsed()) / 1e3 / double(rows.size()));
        timer.restart();
        keepers.annotate(copy);
        kept.push_back(double(timer.nsecsElapsed()) / 1e3 / double(rows.size()));
    }
    return {medianUs(first), medianUs(kept)};
}

PortEntryList serviceRows() {
    PortEntryList rows;
    for (int i = 0; i < rowCount; ++i) {
        PortEntry row(1000 + i, "perl", "root", "TCP", "IPv4", "*", 10000 + i, "LISTEN");
        row.process.unit = QStringLiteral("bench-%1.service").arg(i);
        rows.append(row);
    }
    return rows;
}

PortEntryList containerRows(const QStringList &ids) {
    PortEntryList rows;
    for (qsizetype i = 0; i < ids.size(); ++i) {
        PortEntry row(0, "httpd", "root", "TCP", "IPv4", "*", 20000 + i, "LISTEN");
        row.process.container = ids[i];
        rows.append(row);
    }
    return rows;
}

} // namespace

void benchKeepers() {
    std::printf("\nKeepers: reading restart settings, per row (%d rows, median of 5)\n", rowCount);
    QTemporaryDir dir;
    const std::shared_ptr<ContainerEngine> noEngine =
        std::make_shared<ContainerEngine>(QStringList{dir.filePath("none.sock")});

    FakeServiceManager manager;
    if (const QString skip = manager.start(); !skip.isEmpty()) {
        std::printf("  unit Restart=: skipped (%s)\n", qPrintable(skip));
    } else {
        for (int i = 0; i < rowCount; ++i) {
            FakeServiceManager::Unit unit{QStringLiteral("bench-%1.service").arg(i)};
            unit.restart = QStringLiteral("always");
            manager.setUnit(unit);
        }
        int n = 0;
        const auto [first, kept] = perRow(
            [&] {
                const QDBusConnection bus = manager.client(QStringLiteral("bench-%1").arg(++n));
                return Keepers(std::make_shared<ServiceManager>(bus, false),
                               std::make_shared<ServiceManager>(bus, true), noEngine);
            },
            serviceRows());
        std::printf("  unit Restart= (GetUnit + Get on a private bus): %8.1f us asked, %6.2f us "
                    "kept\n",
                    first, kept);
    }

    // Inspection answers as Docker 20.10 gives them (trimmed to what is read).
    const QString socketPath = dir.filePath("engine.sock");
    {
        EngineSocket engine(socketPath, EngineSocket::Mode::Answering,
                            httpAnswer(200,
                                       R"({"Id":"0123456789ab0123456789ab","Name":"/web-1",)"
                                       R"("HostConfig":{"RestartPolicy":{"Name":"always"}}})"));
        QStringList ids;
        for (int i = 0; i < rowCount; ++i)
            ids.append(QStringLiteral("%1").arg(i, 12, 16, QLatin1Char('0')));
        const auto [first, kept] = perRow(
            [&] {
                return Keepers(nullptr, nullptr,
                               std::make_shared<ContainerEngine>(QStringList{socketPath}));
            },
            containerRows(ids));
        std::printf("  container policy (engine socket of the bench's own): %8.1f us asked, "
                    "%6.2f us kept\n",
                    first, kept);
    }

    if (qgetenv("QUAYLINE_BENCH_DOCKER") != "1")
        return;
    DockerDaemon docker;
    if (const QString skip = docker.start(); !skip.isEmpty()) {
        std::printf("  container policy (dockerd): skipped (%s)\n", qPrintable(skip));
        return;
    }
    if (const QString failed = docker.buildBusyboxImage("quayline-bench:1"); !failed.isEmpty()) {
        std::printf("  container policy (dockerd): no image (%s)\n", qPrintable(failed));
        return;
    }
    QStringList ids;
    for (int i = 0; i < 20; ++i) {
        QByteArray id;
        docker.docker({"create", "--restart", "always", "quayline-bench:1", "/bin/busybox", "true"},
                      &id);
        ids.append(QString::fromUtf8(id.trimmed()));
    }
    const auto [first, kept] = perRow(
        [&] {
            return Keepers(nullptr, nullptr,
                           std::make_shared<ContainerEngine>(QStringList{docker.socket()}));
        },
        containerRows(ids));
    std::printf("  container policy (dockerd, %lld containers): %8.1f us asked, %6.2f us kept\n",
                qint64(ids.size()), first, kept);
}
