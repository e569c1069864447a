#pragma once

#include "model/PortEntry.h"
#include "scanner/PortEvent.h"

class OutputStream;

// The listing's two formats, written entry by entry.

// An aligned table, a heading line and one line per entry, every cell escaped
// for the terminal. wide adds a COMMAND column with the command line.
void writeTable(OutputStream &out, const PortEntryList &entries, bool wide);

// A JSON array of one object per entry with the keys of PortEntry and of its
// process, byte for byte what QJsonDocument::toJson(Indented) makes of the
// whole array, without ever holding the array.
void writeJson(OutputStream &out, const PortEntryList &entries);

// One line for a row that opened or closed: the local time (HH:MM:SS),
// "opened" or "closed", then the row's cells as the table writes them.
void writeEventLine(OutputStream &out, const PortEvent &event);

// The same as one JSON object on one line (QJsonDocument::Compact's layout):
// the row's keys, "event" ("opened" or "closed") and "time" (ISO 8601, local
// time with its offset).
void writeEventJson(OutputStream &out, const PortEvent &event);
