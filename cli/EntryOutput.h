#pragma once

#include "model/PortEntry.h"

class OutputStream;

// The listing's two formats, written entry by entry.

// An aligned table, a heading line and one line per entry, every cell escaped
// for the terminal. wide adds a COMMAND column with the command line.
void writeTable(OutputStream &out, const PortEntryList &entries, bool wide);

// A JSON array of one object per entry with the keys of PortEntry and of its
// process, byte for byte what QJsonDocument::toJson(Indented) makes of the
// whole array, without ever holding the array.
void writeJson(OutputStream &out, const PortEntryList &entries);
