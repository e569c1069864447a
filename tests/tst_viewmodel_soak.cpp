// A soak of the model: 1,000 refreshes of a 10,000-entry list, every other one
// with a few rows changed, removed and added, the row model following along.
// The live heap after a warm-up and at the end must match; leaks are reported
// by LeakSanitizer when the sanitizer build exits.
#include "PortListTestSupport.h"
#include "viewmodel/PortListModel.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <malloc.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define QUAYLINE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUAYLINE_ASAN 1
#endif
#endif
#ifdef QUAYLINE_ASAN
// From the sanitizer runtime (its header ships with clang, not with g++).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" void __sanitizer_purge_allocator();
#endif

namespace {

// Bytes handed out by the allocator and not yet freed.
qint64 liveHeapBytes() {
#ifdef QUAYLINE_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    return qint64(mallinfo2().uordblks);
#endif
}

// Resident memory once the allocator has given back what it holds only as
// a cache (and, under AddressSanitizer, its quarantine of freed blocks, which
// alone would grow the figure by up to 256 MB).
qint64 residentBytes() {
#ifdef QUAYLINE_ASAN
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

PortEntryList baseList() {
    PortEntryList list;
    for (int i = 0; i < 10'000; ++i)
        list.append(entry(1000 + i / 4, QStringLiteral("proc%1").arg(i % 97), 1 + i * 6,
                          i % 5 ? QStringLiteral("TCP") : QStringLiteral("UDP")));
    return list;
}

// The base list with a few small changes that move around with step.
PortEntryList changedList(const PortEntryList &base, int step) {
    PortEntryList list = base;
    const qsizetype at = (step * 37) % (list.size() - 10);
    list[at].state = QStringLiteral("CLOSE_WAIT");
    list[at + 3].address = QStringLiteral("127.0.0.1");
    list.remove(at + 5, 2);
    list.insert(at + 7, entry(90000 + step, QStringLiteral("newcomer"), list[at + 6].port));
    return list;
}

} // namespace

class TestViewModelSoak : public QObject {
    Q_OBJECT

private slots:
    void thousandRefreshesDoNotGrow();
};

void TestViewModelSoak::thousandRefreshesDoNotGrow() {
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("q.conf")));
    const PortEntryList base = baseList();

    auto refreshes = [&](int from, int to) {
        for (int step = from; step < to; ++step) {
            scanner.immediate = ScanResult{step % 2 ? changedList(base, step) : base, std::nullopt};
            QFuture<void> done = vm->refresh();
            while (!done.isFinished())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            scanner.callTimesMs.clear(); // the fake's own record must not grow either
        }
    };

    refreshes(0, 101); // warm-up: caches, hash tables and the allocator settle
    QCOMPARE(vm->filteredModel()->count(), int(base.size()));
    const qint64 heapBefore = liveHeapBytes();
    const qint64 rssBefore = residentBytes();

    QElapsedTimer clock;
    clock.start();
    refreshes(101, 1101);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(vm->filteredModel()->entries(), base);

    const qint64 heapAfter = liveHeapBytes();
    const qint64 rssAfter = residentBytes();
    qInfo("1000 refreshes of %lld entries in %lld ms; live heap %lld -> %lld bytes (%+lld); "
          "RSS %lld -> %lld kB (%+lld kB)",
          qlonglong(base.size()), qlonglong(elapsed), qlonglong(heapBefore), qlonglong(heapAfter),
          qlonglong(heapAfter - heapBefore), qlonglong(rssBefore / 1024),
          qlonglong(rssAfter / 1024), qlonglong((rssAfter - rssBefore) / 1024));
    // A leak of one entry per refresh would already be some 100 kB.
    QVERIFY2(heapAfter - heapBefore < 64 * 1024,
             qPrintable(QStringLiteral("live heap grew by %1 bytes").arg(heapAfter - heapBefore)));
}

QTEST_GUILESS_MAIN(TestViewModelSoak)
#include "tst_viewmodel_soak.moc"
