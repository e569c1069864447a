// What the panel would show for some ports, as the user who runs it: one
// scan through the panel's own model, then for each row on the ports every
// text its views are handed (the list model's roles and the row texts), as a
// JSON array on standard output. tst_hostile runs it as an ordinary user.
//
// Usage: panel-texts PORT...

#include "keeper/Keepers.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QSet<qint64> ports;
    for (const QString &argument : app.arguments().mid(1))
        ports.insert(argument.toLongLong());

    QTemporaryDir settingsDir;
    LsofRuns runs;
    const auto keepers = std::make_shared<Keepers>();
    PortListViewModel::Dependencies dependencies;
    dependencies.scan = [scanner = PortScanner(runs), keepers] {
        return scanner.scan().then([keepers](ScanResult result) {
            keepers->annotate(result.entries);
            return result;
        });
    };
    dependencies.settings =
        std::make_unique<QSettings>(settingsDir.filePath("settings.ini"), QSettings::IniFormat);
    dependencies.keepers = keepers;
    PortListViewModel model(std::move(dependencies));
    model.setAutoRefreshEnabled(false);

    QFutureWatcher<void> scanned;
    QObject::connect(&scanned, &QFutureWatcherBase::finished, &app, &QCoreApplication::quit);
    scanned.setFuture(model.refresh());
    app.exec();

    const PortListModel &rows = *model.filteredModel();
    const QHash<int, QByteArray> roles = rows.roleNames();
    QJsonArray out;
    for (int row = 0; row < rows.rowCount(); ++row) {
        const PortEntry entry = rows.entryAt(row);
        if (!ports.contains(entry.port))
            continue;
        QJsonObject texts;
        const QModelIndex index = rows.index(row);
        for (auto it = roles.cbegin(); it != roles.cend(); ++it) {
            const QVariant value = rows.data(index, it.key());
            if (value.typeId() == QMetaType::QString)
                texts.insert(QString::fromLatin1(it.value()), value.toString());
        }
        const QString refusal = texts.value("stopRefusal").toString();
        const QString command = texts.value("stopCommand").toString();
        texts.insert("pidLine", PortListViewModel::pidLine(entry));
        texts.insert("accessibleName", PortListViewModel::accessibleName(entry));
        texts.insert("identity", PortListViewModel::identityText(entry));
        texts.insert("stopToolTip",
                     PortListViewModel::stopToolTip(entry, texts.value("stopStage").toString(),
                                                    refusal, command));
        texts.insert("keeperQuestion", PortListViewModel::keeperQuestion(entry));
        texts.insert("keeperRestartHint", PortListViewModel::keeperRestartHint(entry));
        texts.insert("pid", entry.pid);
        out.append(texts);
    }
    const QByteArray json = QJsonDocument(out).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    return 0;
}
