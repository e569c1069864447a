#include "model/DisplayText.h"

#include <algorithm>

namespace {

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool isBidiControl(char16_t c) {
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString escapeControlCharacters(const QString &text) {
    const auto needsEscape = [](QChar c) {
        return isControl(c.unicode()) || isBidiControl(c.unicode());
    };
    const auto first = std::find_if(text.cbegin(), text.cend(), needsEscape);
    if (first == text.cend())
        return text;

    static constexpr char16_t hex[] = u"0123456789abcdef";
    QString escaped;
    escaped.reserve(text.size() + 16);
    escaped.append(QStringView(text.cbegin(), first));
    for (auto it = first; it != text.cend(); ++it) {
        const char16_t c = it->unicode();
        if (isControl(c)) {
            const char16_t e[] = {u'\\', u'x', hex[c >> 4], hex[c & 0xf]};
            escaped.append(QStringView(e, 4));
        } else if (isBidiControl(c)) {
            const char16_t e[] = {
                u'\\', u'u', hex[c >> 12], hex[(c >> 8) & 0xf], hex[(c >> 4) & 0xf], hex[c & 0xf]};
            escaped.append(QStringView(e, 6));
        } else {
            escaped.append(*it);
        }
    }
    return escaped;
}
