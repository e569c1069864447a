#pragma once

#include "Quayline/LoginItem.h"
#include "scanner/PortScanner.h"
#include "viewmodel/PortListViewModel.h"

#include <QObject>
#include <QPromise>
#include <QTemporaryDir>
#include <QVariant>
#include <deque>
#include <memory>

// What the QML view tests drive the real views with: models fed by a scanner
// whose scans finish only when a test says so, whose settings live in a
// temporary folder and whose kill(2) only records what it was asked to send,
// and login items pointed at temporary autostart folders.
class ViewFixture : public QObject {
    Q_OBJECT
    Q_PROPERTY(int pendingScans READ pendingScans NOTIFY pendingScansChanged)
    Q_PROPERTY(QVariantList signalsSent READ signalsSent NOTIFY signalsSentChanged)

public:
    explicit ViewFixture(QObject *parent = nullptr);
    ~ViewFixture() override;

    int pendingScans() const { return int(m_pending.size()); }
    QVariantList signalsSent() const { return m_signalsSent; }

    // Deletes the models, while the application still exists.
    void releaseModels();

    // Forgets the previous test: its scans finish empty, its models stop
    // their timers, nothing is recorded as sent and kill(2) succeeds again.
    Q_INVOKABLE void reset();

    // A fresh model whose settings file starts with the given values;
    // auto-refresh is off unless the values say otherwise, so that no timer
    // scan slips into a test.
    Q_INVOKABLE PortListViewModel *newModel(const QVariantMap &settings = {});
    // Finishes the oldest pending scan with these entries ({pid, processName,
    // port, ...}) and error text (null for none).
    Q_INVOKABLE void finishScan(const QVariantList &entries = {},
                                const QVariant &errorText = QVariant());
    // What kill(2) answers from now on: 0, or an errno value.
    Q_INVOKABLE void setKillResult(int errorNumber) { m_killResult = errorNumber; }
    Q_INVOKABLE bool isTimerRunning(PortListViewModel *model) const {
        return model && model->isTimerRunning();
    }

    Q_INVOKABLE QVariant entry(const QVariantMap &fields) const;
    // count entries with distinct pids, names "proc<i>" and ports from 1000 up.
    Q_INVOKABLE QVariantList manyEntries(int count) const;

    // A login item for the program "/opt/quayline test/quayline" over a new
    // autostart folder; with broken, a plain file stands where the folder
    // should be, so that writing the entry fails, also for root.
    Q_INVOKABLE LoginItem *newLoginItem(bool broken = false);
    // Turns a broken login item's folder into a usable one.
    Q_INVOKABLE void repairLoginItem(LoginItem *item);
    Q_INVOKABLE bool writeEntry(LoginItem *item, const QString &text);
    Q_INVOKABLE bool removeEntry(LoginItem *item);

    // Switches the application to a light or a dark palette ("light", "dark"),
    // as a desktop theme change would.
    Q_INVOKABLE void usePalette(const QString &name);

    static PortEntry toEntry(const QVariantMap &fields);

signals:
    void pendingScansChanged();
    void signalsSentChanged();

private:
    QFuture<ScanResult> scan(int generation);

    QTemporaryDir m_dir;
    int m_generation = 0;
    int m_folders = 0;
    int m_killResult = 0;
    std::deque<std::shared_ptr<QPromise<ScanResult>>> m_pending;
    QVariantList m_signalsSent;
    QList<PortListViewModel *> m_models;
};
