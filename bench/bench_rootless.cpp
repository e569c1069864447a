// What the user's own engine costs a listing: one rootless container's row
// (rootlessport) among 500, its container asked of Podman's API socket and of
// the podman command (the real one where installed; `podman system service`
// started by the bench for the socket), and the same listing without a proxy
// row, which should ask nothing. Each asked afresh (nothing kept), median of 5.
#include "../tests/EngineSocket.h"
#include "scanner/UserEngine.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

PortEntryList listing(bool withProxy) {
    PortEntryList rows;
    for (int i = 0; i < 500; ++i) {
        PortEntry row(1000 + i, "node", "me", "TCP", "IPv4", "127.0.0.1", 20000 + i, "LISTEN");
        row.uid = qint64(::getuid());
        row.process.startTicks = 7;
        rows.append(row);
    }
    if (withProxy)
        rows[250].processName = QStringLiteral("rootlessport");
    return rows;
}

double medianMs(const UserEngine::Config &config, bool withProxy) {
    std::vector<double> ms;
    for (int round = 0; round < 5; ++round) {
        UserEngine engine(config);
        PortEntryList rows = listing(withProxy);
        QElapsedTimer timer;
        timer.start();
        engine.annotate(rows);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

void benchRootless() {
    std::printf("\nRootless proxies: the user's engine asked for a listing of 500 rows "
                "(median of 5)\n");
    QTemporaryDir dir;
    UserEngine::Config none;
    std::printf("  no proxy row:                         %8.3f ms\n", medianMs(none, false));
    {
        UserEngine::Config fake;
        fake.podmanSocket = dir.filePath("fake.sock");
        EngineSocket socket(fake.podmanSocket, EngineSocket::Mode::Answering,
                            httpAnswer(200, R"([{"Id":"7d1e","Names":["/web"],"Image":"img",)"
                                            R"("Ports":[{"PublicPort":20250,"Type":"tcp"}]}])"));
        std::printf("  one proxy row, API socket (the bench's own): %8.3f ms\n",
                    medianMs(fake, true));
    }
    const QString podman = QStandardPaths::findExecutable(QStringLiteral("podman"));
    if (podman.isEmpty()) {
        std::printf("  real Podman: skipped (podman is not installed)\n");
        return;
    }
    UserEngine::Config command;
    command.podman = podman;
    std::printf("  one proxy row, podman ps (real):      %8.3f ms\n", medianMs(command, true));
    UserEngine::Config api;
    api.podmanSocket = dir.filePath("podman.sock");
    QProcess service;
    service.start(podman, {"system", "service", "--time=0", "unix://" + api.podmanSocket});
    for (int i = 0; i < 300 && !QFileInfo::exists(api.podmanSocket); ++i)
        QThread::msleep(50);
    if (!QFileInfo::exists(api.podmanSocket)) {
        std::printf("  one proxy row, Podman's API socket: skipped (no socket)\n");
    } else {
        medianMs(api, true); // the service's first answer warms it up
        std::printf("  one proxy row, Podman's API socket (real): %8.3f ms\n", medianMs(api, true));
    }
    // Our own child, by the pid QProcess started.
    service.terminate();
    service.waitForFinished(30000);
}
