#include "ViewFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QSettings>

ViewFixture::ViewFixture(QObject *parent)
    : QObject(parent) {}

ViewFixture::~ViewFixture() {
    releaseModels();
}

void ViewFixture::releaseModels() {
    // The models go before the pending promises, so no scan result arrives
    // at a model that is being destroyed.
    qDeleteAll(m_models);
    m_models.clear();
}

void ViewFixture::reset() {
    ++m_generation;
    for (PortListViewModel *model : std::as_const(m_models))
        model->setAutoRefreshEnabled(false);
    while (!m_pending.empty())
        finishScan();
    m_killResult = 0;
    m_signalsSent.clear();
    emit signalsSentChanged();
}

PortListViewModel *ViewFixture::newModel(const QVariantMap &settings) {
    const QString file = m_dir.filePath(QStringLiteral("settings-%1.conf").arg(m_models.size()));
    {
        QSettings init(file, QSettings::IniFormat);
        init.setValue(QStringLiteral("autoRefreshEnabled"), false);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            init.setValue(it.key(), it.value());
    }
    PortListViewModel::Dependencies deps;
    deps.scan = [this, generation = m_generation] { return scan(generation); };
    deps.settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
    deps.system.loginName = [] { return QStringLiteral("me"); };
    // Never the real kill(2): only recorded.
    deps.system.kill = [this](qint32 pid, int signal) {
        m_signalsSent.append(
            QVariantMap{{QStringLiteral("pid"), pid}, {QStringLiteral("signal"), signal}});
        emit signalsSentChanged();
        return m_killResult;
    };
    auto *model = new PortListViewModel(std::move(deps), this);
    m_models.append(model);
    return model;
}

QFuture<ScanResult> ViewFixture::scan(int generation) {
    // A model left over from an earlier test gets an empty scan at once.
    if (generation != m_generation)
        return QtFuture::makeReadyFuture(ScanResult{});
    auto promise = std::make_shared<QPromise<ScanResult>>();
    promise->start();
    m_pending.push_back(promise);
    emit pendingScansChanged();
    return promise->future();
}

void ViewFixture::finishScan(const QVariantList &entries, const QVariant &errorText) {
    if (m_pending.empty()) {
        qWarning("finishScan: no scan is pending");
        return;
    }
    const auto promise = m_pending.front();
    m_pending.pop_front();
    ScanResult result;
    for (const QVariant &e : entries)
        result.entries.append(toEntry(e.toMap()));
    if (!errorText.isNull() && errorText.isValid())
        result.errorText = errorText.toString();
    promise->addResult(result);
    promise->finish();
    // The model hears of the result through a posted event; deliver it (and
    // what it posts in turn) now, so a test sees the stored result at once.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();
    emit pendingScansChanged();
}

PortEntry ViewFixture::toEntry(const QVariantMap &f) {
    return PortEntry(f.value(QStringLiteral("pid"), 100).toInt(),
                     f.value(QStringLiteral("processName"), QStringLiteral("proc")).toString(),
                     f.value(QStringLiteral("user"), QStringLiteral("me")).toString(),
                     f.value(QStringLiteral("networkProtocol"), QStringLiteral("TCP")).toString(),
                     f.value(QStringLiteral("ipVersion"), QStringLiteral("IPv4")).toString(),
                     f.value(QStringLiteral("address"), QStringLiteral("*")).toString(),
                     f.value(QStringLiteral("port"), 80).toLongLong(),
                     f.value(QStringLiteral("state"), QStringLiteral("LISTEN")).toString());
}

QVariant ViewFixture::entry(const QVariantMap &fields) const {
    return QVariant::fromValue(toEntry(fields));
}

QVariantList ViewFixture::manyEntries(int count) const {
    QVariantList list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(QVariantMap{{QStringLiteral("pid"), 1000 + i},
                                {QStringLiteral("processName"), QStringLiteral("proc%1").arg(i)},
                                {QStringLiteral("port"), 1000 + i}});
    return list;
}

LoginItem *ViewFixture::newLoginItem(bool broken) {
    const QString base = m_dir.filePath(QStringLiteral("home-%1").arg(++m_folders));
    QDir().mkpath(base);
    const QString autostart = base + QStringLiteral("/autostart");
    if (broken) {
        QFile file(autostart);
        if (!file.open(QIODevice::WriteOnly))
            qWarning("cannot create %s", qPrintable(autostart));
    }
    return new LoginItem(autostart, QStringLiteral("/opt/quayline test/quayline"), this);
}

void ViewFixture::repairLoginItem(LoginItem *item) {
    QFile::remove(item->autostartDir());
    QDir().mkpath(item->autostartDir());
}

bool ViewFixture::writeEntry(LoginItem *item, const QString &text) {
    QDir().mkpath(item->autostartDir());
    QFile file(item->entryPath());
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
}

bool ViewFixture::removeEntry(LoginItem *item) {
    return QFile::remove(item->entryPath());
}

void ViewFixture::usePalette(const QString &name) {
    QPalette palette;
    if (name == u"dark") {
        palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
        palette.setColor(QPalette::WindowText, QColor(0xec, 0xec, 0xec));
        palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
        palette.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x36));
        palette.setColor(QPalette::Text, QColor(0xec, 0xec, 0xec));
        palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
        palette.setColor(QPalette::ButtonText, QColor(0xec, 0xec, 0xec));
        palette.setColor(QPalette::Highlight, QColor(0x3d, 0x8b, 0xfd));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        palette.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3d));
        palette.setColor(QPalette::ToolTipText, QColor(0xec, 0xec, 0xec));
        palette.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8a, 0x8e));
    } else {
        palette.setColor(QPalette::Window, QColor(0xf3, 0xf3, 0xf3));
        palette.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
        palette.setColor(QPalette::Base, Qt::white);
        palette.setColor(QPalette::AlternateBase, QColor(0xf5, 0xf5, 0xf5));
        palette.setColor(QPalette::Text, QColor(0x1d, 0x1d, 0x1f));
        palette.setColor(QPalette::Button, QColor(0xe8, 0xe8, 0xe8));
        palette.setColor(QPalette::ButtonText, QColor(0x1d, 0x1d, 0x1f));
        palette.setColor(QPalette::Highlight, QColor(0x1c, 0x6e, 0xd9));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        palette.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
        palette.setColor(QPalette::ToolTipText, Qt::black);
        palette.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    }
    QGuiApplication::setPalette(palette);
}
