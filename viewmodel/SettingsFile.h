#pragma once

#include <QSettings>
#include <QString>
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

// Writes one setting through to the file of settings: an empty text where
// that worked, else why not, as the user reads it. QSettings keeps the first
// error it met for good, so settings, once it has met one, is replaced by a
// fresh object on the same file: otherwise a write that works again would
// still read as failed.
QString writeSettingThrough(std::unique_ptr<QSettings> &settings, const QString &key,
                            const QVariant &value);
