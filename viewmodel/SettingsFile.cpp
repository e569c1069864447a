#include "viewmodel/SettingsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isNumericType(const QVariant &value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// Why the settings file at path cannot be written, as an errno value: does
// what QSettings does when it writes (create the missing folders, open the
// file or create it, the same for the lock file beside it) and gives the first
// failure, or 0 when all of that works now (the write failed later, say on a
// full disk). A file it had to create is removed again.
int whyUnwritable(const QString &path) {
    const QByteArray file = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    for (qsizetype slash = file.indexOf('/', 1); slash > 0; slash = file.indexOf('/', slash + 1)) {
        const QByteArray folder = file.first(slash);
        struct stat info {};
        if (::stat(folder.constData(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return ENOTDIR;
            continue;
        }
        if (errno != ENOENT)
            return errno;
        if (::mkdir(folder.constData(), 0777) != 0 && errno != EEXIST)
            return errno;
    }
    for (const QByteArray &name : {file, file + ".lock"}) {
        int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0)
                ::unlink(name.constData());
        }
        if (fd < 0)
            return errno;
        ::close(fd);
    }
    return 0;
}

} // namespace

std::optional<double> settingToDouble(const QVariant &value) {
    if (isNumericType(value))
        return value.toDouble();
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    static const QRegularExpression decimal(
        QStringLiteral("\\A[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?\\z"));
    const QString text = value.toString();
    if (!decimal.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double parsed = text.toDouble(&ok);
    return ok ? std::optional<double>(parsed) : std::nullopt;
}

std::optional<bool> settingToBool(const QVariant &value) {
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            return false;
    }
    if (const auto number = settingToDouble(value))
        return *number != 0;
    return std::nullopt;
}

int timerPeriodMs(double seconds, double fallbackSeconds) {
    // Only a hand-edited settings file can hold such values. A zero or negative
    // period would launch lsof without pause; sub-second ones would pile up
    // overlapping scans, since a scan itself takes a good part of a second.
    constexpr double minimumSeconds = 1.0;
    if (!std::isfinite(seconds) || seconds <= 0)
        seconds = fallbackSeconds;
    seconds = std::max(seconds, minimumSeconds);
    const double ms = std::ceil(seconds * 1000.0);
    return ms >= double(INT_MAX) ? INT_MAX : int(ms);
}

PortListText parsePortList(const QString &text) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,9}\\z"));
    PortListText list;
    for (const QString &item : text.split(separators, Qt::SkipEmptyParts)) {
        const int port = digits.match(item).hasMatch() ? item.toInt() : 0;
        if (port < 1 || port > 65535)
            list.invalid << item;
        else if (!list.ports.contains(port))
            list.ports << port;
    }
    return list;
}

QString portListSettingText(const QVariant &value) {
    // The file gives a list of one as a text, and a list of several as a list
    // of texts; a value not yet read back from the file keeps its own type.
    if (value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

QVariant portListSetting(const QList<int> &ports) {
    // A list of one would be written as an opaque serialised value.
    if (ports.size() == 1)
        return ports.first();
    QVariantList list;
    for (const int port : ports)
        list << port;
    return list;
}

QString writeSettingThrough(std::unique_ptr<QSettings> &settings, const QString &key,
                            const QVariant &value) {
    // Made before the old one goes, the new one shares its file state, unsaved
    // values included.
    if (settings->status() != QSettings::NoError)
        settings = std::make_unique<QSettings>(settings->fileName(), settings->format());
    settings->setValue(key, value);
    settings->sync();
    if (settings->status() == QSettings::NoError)
        return {};
    // A format error is about what was read: the write itself may have
    // worked, and then nothing below fails again.
    const int reason = whyUnwritable(settings->fileName());
    if (reason == 0 && settings->status() != QSettings::AccessError)
        return {};
    return QStringLiteral("Could not save settings to %1: %2. The change applies until "
                          "Quayline quits.")
        .arg(settings->fileName(),
             reason != 0 ? qt_error_string(reason) : QStringLiteral("Unknown error"));
}
