#pragma once

#include <QByteArrayView>
#include <QString>

// Whether a character is one that text shown to people must not carry as it
// is: the C0 and C1 controls and DEL (they drive terminals and break lines),
// the Unicode bidi controls (U+061C, U+200E, U+200F, U+202A–U+202E,
// U+2066–U+2069; they reorder what is shown around them), the line and
// paragraph separators U+2028 and U+2029 (a Qt Quick Text breaks the line at
// them) and U+FEFF (invisible, and dropped by UTF-8 decoders at the start).
bool isHiddenCharacter(char32_t c);

// Text from lsof or /proc made safe for a terminal, a tooltip or any other
// plain-text output: each hidden character becomes an escape, "\x1b" for the
// controls and "\u202e" for the others, so that a process name can neither
// drive the terminal, fake a line of its own nor reorder the text around it.
// Returns the text itself when there is nothing to escape.
QString escapeControlCharacters(const QString &text);

// UTF-8 from outside (an argument, a process or unit name) as text, every
// character kept: QString::fromUtf8 drops a leading U+FEFF, which would hide
// it from the escapes above. Bad bytes become U+FFFD.
QString utf8Text(QByteArrayView bytes);

// A name from outside (a container's name, image or label, as its engine
// gave it) cut to at most `most` characters, the cut marked with "…", so
// that no answer can make a row, a table or a JSON listing huge.
constexpr qsizetype outsideNameLimit = 256;
QString boundedName(QString text, qsizetype most = outsideNameLimit);

// A command line as /proc/PID/cmdline holds it (arguments ended by NUL bytes,
// the last one's NUL possibly missing) written as one line that bash, zsh
// and ksh read back as the same bytes, whatever their locale: plain words as
// they are, other words in single quotes, and words holding hidden characters
// or bytes that are no valid UTF-8 in $'…' with a "\xHH" escape per byte.
// Printable ASCII and valid UTF-8 text stay as they are.
QString shellQuotedCommandLine(QByteArrayView rawCommandLine);
