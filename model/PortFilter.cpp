#include "model/PortFilter.h"

namespace {

// Spaces, tabs and the other Unicode space separators; line breaks stay.
bool isTrimmable(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

bool isAscii(QStringView s) {
    for (QChar c : s) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

QString normalizedLower(const QString &s) {
    return s.toLower().normalized(QString::NormalizationForm_C);
}

} // namespace

PortFilter::PortFilter(const QString &searchText) {
    qsizetype begin = 0, end = searchText.size();
    while (begin < end && isTrimmable(searchText[begin]))
        ++begin;
    while (end > begin && isTrimmable(searchText[end - 1]))
        --end;
    m_query = normalizedLower(searchText.sliced(begin, end - begin));
    m_queryIsAscii = isAscii(m_query);
    m_mayMatchPort = !m_query.isEmpty();
    for (QChar c : std::as_const(m_query)) {
        if (!c.isDigit() && c != u'-')
            m_mayMatchPort = false;
    }
}

bool PortFilter::matches(const PortEntry &entry) const {
    if (m_query.isEmpty())
        return true;
    if (m_mayMatchPort && QString::number(entry.port).contains(m_query))
        return true;
    if (matchesText(entry.processName))
        return true;
    if (entry.kernelHeld)
        return matchesText(QStringLiteral("kernel")) || matchesText(entry.kernelUse);
    // A port held where lsof cannot look is found by its unit or container.
    return entry.fromKernel &&
           (matchesText(entry.process.unit) || matchesText(entry.containerName) ||
            matchesText(entry.process.container));
}

bool PortFilter::matchesText(const QString &text) const {
    if (text.isEmpty())
        return false;
    // Fast path for the common case: with both sides ASCII, lower-casing is
    // plain ASCII case folding and normalisation changes nothing.
    if (m_queryIsAscii && isAscii(text))
        return text.contains(m_query, Qt::CaseInsensitive);
    return normalizedLower(text).contains(m_query);
}

PortEntryList PortFilter::apply(const PortEntryList &entries) const {
    if (m_query.isEmpty())
        return entries;
    PortEntryList result;
    for (const PortEntry &e : entries) {
        if (matches(e))
            result.append(e);
    }
    return result;
}
