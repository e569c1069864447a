#pragma once

#include <QString>

// Text from lsof or /proc made safe for a terminal or any plain-text output:
// C0 and C1 controls and DEL become "\x1b" style escapes, and the Unicode bidi
// controls (U+061C, U+200E, U+200F, U+202A–U+202E, U+2066–U+2069) "\u202e"
// style ones, so a process name can neither drive the terminal (clear it,
// retitle it, move the cursor) nor reorder what is shown around it. Returns
// the text itself when there is nothing to escape.
QString escapeControlCharacters(const QString &text);
