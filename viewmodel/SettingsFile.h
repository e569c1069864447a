#pragma once

#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <optional>

// How the settings file's values are read: the file holds text, so a boolean
// may be stored as true/false in any case or as a number, and a double as a
// plain decimal with optional fraction and exponent. Anything else is nullopt.
std::optional<bool> settingToBool(const QVariant &value);
std::optional<double> settingToDouble(const QVariant &value);
// The QTimer period for an interval in seconds: fallbackSeconds for
// non-positive or non-finite values, at least a second, clamped to what
// QTimer can hold.
int timerPeriodMs(double seconds, double fallbackSeconds);

// A list of ports as a person writes it ("3000, 5173 8080"): split at commas
// and spaces, each port once in the order first written. What is no port
// number from 1 to 65535 is kept in invalid, as written, to be named.
struct PortListText {
    QList<int> ports;
    QStringList invalid;
};
PortListText parsePortList(const QString &text);
// A stored list of ports as text for the field that edits it, entries that
// are no port included ("3000, 5173").
QString portListSettingText(const QVariant &value);
// The list as it is stored: the ports as numbers, "3000, 5173" in the file.
QVariant portListSetting(const QList<int> &ports);

// Writes one setting through to the file of settings: an empty text where
// that worked, else why not, as the user reads it. QSettings keeps the first
// error it met for good, so settings, once it has met one, is replaced by a
// fresh object on the same file: otherwise a write that works again would
// still read as failed.
QString writeSettingThrough(std::unique_ptr<QSettings> &settings, const QString &key,
                            const QVariant &value);
