#pragma once

// Shared by the port list model tests: a scan function whose scans the test
// finishes itself, and a short way to write entries.

#include "scanner/PortScanner.h"
#include "viewmodel/PortListViewModel.h"

#include <QElapsedTimer>
#include <QPromise>
#include <QSettings>
#include <QTest>
#include <memory>
#include <optional>
#include <vector>

inline PortEntry entry(qint32 pid, const QString &name, qint64 port,
                       const QString &protocol = QStringLiteral("TCP"),
                       const QString &user = QStringLiteral("me")) {
    return PortEntry(pid, name, user, protocol, QStringLiteral("IPv4"), QStringLiteral("*"), port,
                     protocol == u"TCP" ? QStringLiteral("LISTEN") : QString());
}

inline QStringList ids(const PortEntryList &entries) {
    QStringList result;
    for (const PortEntry &e : entries)
        result.append(e.id());
    return result;
}

// Bounded polling with a short step, for conditions met within a few passes of
// the event loop (QTRY's 50 ms step would dominate tests that refresh often).
template <typename Condition> bool waitUntil(Condition condition, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(1);
    }
    return true;
}

// Hands out one QPromise per scan. With `immediate` set every scan finishes at
// once with that result; otherwise the test finishes the pending scans in the
// order it chooses.
class FakeScanner {
public:
    FakeScanner() { m_clock.start(); }

    std::optional<ScanResult> immediate;

    PortListViewModel::ScanFunction function() {
        return [this] {
            callTimesMs.push_back(m_clock.elapsed());
            if (immediate)
                return QtFuture::makeReadyFuture(*immediate);
            auto promise = std::make_unique<QPromise<ScanResult>>();
            promise->start();
            QFuture<ScanResult> future = promise->future();
            pending.push_back(std::move(promise));
            return future;
        };
    }

    int calls() const { return int(callTimesMs.size()); }
    qint64 now() const { return m_clock.elapsed(); }

    void finish(size_t index, const ScanResult &result) {
        QPromise<ScanResult> &promise = *pending.at(index);
        promise.addResult(result);
        promise.finish();
    }

    std::vector<qint64> callTimesMs; // since the scanner's creation
    std::vector<std::unique_ptr<QPromise<ScanResult>>> pending;

private:
    QElapsedTimer m_clock;
};

inline std::unique_ptr<PortListViewModel>
makeViewModel(FakeScanner &scanner, const QString &settingsPath, SystemCalls system = {}) {
    PortListViewModel::Dependencies deps;
    deps.scan = scanner.function();
    deps.settings = std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
    deps.system = std::move(system);
    return std::make_unique<PortListViewModel>(std::move(deps));
}
