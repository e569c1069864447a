#pragma once

#include "model/PortEntry.h"

// The panel's filter rule, shared by the model and the command-line companion:
// the text is trimmed of spaces and tabs (not line breaks) and lower-cased; an
// entry matches when its lower-cased process name or its decimal port contains
// that query; a row that only the kernel's table gave also matches by its unit
// or container. Canonically equivalent Unicode forms match each other.
class PortFilter {
public:
    explicit PortFilter(const QString &searchText);

    bool isEmpty() const { return m_query.isEmpty(); }
    bool matches(const PortEntry &entry) const;
    PortEntryList apply(const PortEntryList &entries) const;

private:
    bool matchesText(const QString &text) const;

    QString m_query; // trimmed, lower-cased, NFC
    bool m_queryIsAscii = true;
    bool m_mayMatchPort = false; // only digits and signs can occur in a port's text
};

inline PortEntryList filterEntries(const PortEntryList &entries, const QString &searchText) {
    return PortFilter(searchText).apply(entries);
}
