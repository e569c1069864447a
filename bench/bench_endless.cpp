// The cost of an lsof that never stops printing: one scan() with both runs
// printing endlessly, stopped at the output cap. Prints the scan's wall time,
// its error text and the process's peak resident size against its size before.
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QFile stub(dir.filePath(QStringLiteral("lsof")));
    // cat of /dev/zero writes in large blocks, so the scanner's reading is what is measured.
    if (!stub.open(QIODevice::WriteOnly) || stub.write("#!/bin/sh\nexec cat /dev/zero\n") < 0)
        return 1;
    stub.close();
    stub.setPermissions(QFile::ReadOwner | QFile::ExeOwner);

    LsofRuns runs;
    const PortScanner scanner(runs, stub.fileName());
    std::printf("Endless lsof output, both runs, cap %lld bytes per run\n",
                qlonglong(scanner.outputCap()));
    const long before = currentRssKb();
    for (int round = 1; round <= 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        const ScanResult result = scanner.scan().result();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        std::printf("  round %d: %8.1f ms, peak RSS %6.1f MB (%.1f MB before the first scan), "
                    "RSS after %.1f MB\n    \"%s\"\n",
                    round, ms, double(peakRssKb()) / 1024, double(before) / 1024,
                    double(currentRssKb()) / 1024,
                    qPrintable(result.errorText.value_or(QStringLiteral("(no error)"))));
    }
    return 0;
}
