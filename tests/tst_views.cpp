// Runs the QML view tests under tests/views against the real views, with the
// models and login items of ViewFixture.
#include "Quayline/LoginItem.h"
#include "viewmodel/PortListViewModel.h"

#include <QLocale>
#include <QPromise>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QSettings>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>
#include <deque>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

#ifdef __SANITIZE_ADDRESS__
// Qt is built without frame pointers: only full stacks let tests/lsan.supp
// name the Qt Quick functions whose leaks it suppresses. ASAN_OPTIONS still win.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
#endif

// What the QML view tests drive the real views with: models whose scans finish
// only when a test says so, whose settings live in a temporary folder and whose
// kill(2) only records what it was asked to send; and login items over
// temporary autostart folders.
class ViewFixture : public QObject {
    Q_OBJECT

public:
    // Deletes the models, while the application still exists.
    void releaseModels() { qDeleteAll(std::exchange(m_models, {})); }

    // Forgets the previous test: its scans finish empty (and any it starts
    // later at once), nothing is recorded as sent and kill(2) succeeds again.
    Q_INVOKABLE void reset() {
        ++m_generation;
        while (!m_pending.empty())
            finishScan();
        m_killResult = 0;
        m_signalsSent.clear();
    }
    // A fresh model with auto-refresh off, so that no timer scan slips in.
    Q_INVOKABLE PortListViewModel *newModel() {
        const QString file = m_dir.filePath("settings-" + QString::number(++m_files));
        QSettings(file, QSettings::IniFormat).setValue(QStringLiteral("autoRefreshEnabled"), false);
        PortListViewModel::Dependencies deps;
        deps.scan = [this, generation = m_generation] {
            // A model left over from an earlier test gets an empty scan at once.
            if (generation != m_generation)
                return QtFuture::makeReadyFuture(ScanResult{});
            m_pending.push_back(std::make_shared<QPromise<ScanResult>>());
            m_pending.back()->start();
            return m_pending.back()->future();
        };
        deps.settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        deps.system.loginName = [] { return QStringLiteral("me"); };
        // Never the real kill(2): only recorded.
        deps.system.kill = [this](qint32 pid, int signal) {
            m_signalsSent.append(QVariantMap{{"pid", pid}, {"signal", signal}});
            return m_killResult;
        };
        // Every pid still holds the process listed (start time 1, see finishScan).
        deps.system.processStat = [](qint32) { return ProcessStat{"proc", 'S', 1}; };
        m_models.append(new PortListViewModel(std::move(deps), this));
        return m_models.back();
    }
    // Finishes the oldest pending scan with these entries ({pid, processName,
    // port, ...}) and error text (null for none).
    Q_INVOKABLE void finishScan(const QVariantList &entries = {}, const QVariant &error = {}) {
        if (m_pending.empty())
            return qWarning("finishScan: no scan is pending");
        ScanResult result;
        for (const QVariant &e : entries) {
            const QVariantMap f = e.toMap();
            result.entries.append(PortEntry(
                f.value("pid", 100).toInt(), f.value("processName", "proc").toString(),
                f.value("user", "me").toString(), f.value("networkProtocol", "TCP").toString(),
                "IPv4", "*", f.value("port", 80).toLongLong(), "LISTEN"));
            result.entries.last().process.startTicks = 1;
        }
        if (!error.isNull())
            result.errorText = error.toString();
        m_pending.front()->addResult(result);
        m_pending.front()->finish();
        m_pending.pop_front();
        // The model hears of the result through a posted event; deliver it (and
        // what it posts in turn) now, so a test sees the stored result at once.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
    }
    // What kill(2) answers from now on: 0, or an errno value.
    Q_INVOKABLE void setKillResult(int errorNumber) { m_killResult = errorNumber; }
    // A login item over a new autostart folder; with broken, a plain file stands
    // where the folder should be, so that writing the entry fails, also for root.
    Q_INVOKABLE LoginItem *newLoginItem(bool broken) {
        QFile folder(m_dir.filePath("autostart-" + QString::number(++m_files)));
        if (broken && !folder.open(QIODevice::WriteOnly))
            qWarning("cannot create %s", qPrintable(folder.fileName()));
        return new LoginItem(folder.fileName(), "/opt/quayline test/quayline", this);
    }
    // The signals that kill(2) was asked to send, as {pid, signal}.
    Q_INVOKABLE QVariantList signalsSent() const { return m_signalsSent; }

private:
    QTemporaryDir m_dir;
    int m_generation = 0;
    int m_files = 0;
    int m_killResult = 0;
    std::deque<std::shared_ptr<QPromise<ScanResult>>> m_pending;
    QVariantList m_signalsSent;
    QList<PortListViewModel *> m_models;
};

class Setup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable() {
        // A locale that groups digits, so that any number shown with grouping fails.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
    }
    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        qmlRegisterSingletonInstance("QuaylineTest", 1, 0, "Fixture", &m_fixture);
    }
    void cleanupTestCase() { m_fixture.releaseModels(); }

private:
    ViewFixture m_fixture;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_views, Setup)
#include "tst_views.moc"
