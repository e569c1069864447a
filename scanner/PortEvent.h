#pragma once

#include "model/PortEntry.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>

// A row that came or went between two looks at the machine: what the command
// line's watch prints and what a watched port's notification says. The time
// is when this program saw the change, not when the kernel made it.
struct PortEvent {
    enum class Kind { Opened, Closed };
    Kind kind = Kind::Opened;
    PortEntry entry; // for Closed, the row as last seen
    QDateTime time;
};

using PortEventList = QList<PortEvent>;

Q_DECLARE_METATYPE(PortEvent)
