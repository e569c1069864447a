#include "model/DisplayText.h"

#include <algorithm>

namespace {

constexpr char16_t hexDigits[] = u"0123456789abcdef";

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// The code point of the valid UTF-8 sequence at the start of bytes and its
// length, or a length of 0 where the bytes are no valid UTF-8 (overlong
// forms, surrogates and values past U+10FFFF included).
std::pair<char32_t, qsizetype> decodeUtf8(QByteArrayView bytes) {
    const auto byte = [&](qsizetype i) { return uchar(bytes[i]); };
    const uchar lead = byte(0);
    qsizetype length;
    char32_t c;
    if (lead < 0x80)
        return {lead, 1};
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        c = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        c = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        c = lead & 0x07;
    } else {
        return {0, 0};
    }
    if (bytes.size() < length)
        return {0, 0};
    for (qsizetype i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return {0, 0};
        c = (c << 6) | (byte(i) & 0x3f);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (c < smallest || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
        return {0, 0};
    return {c, length};
}

bool isPlainWordByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("_@%+=:,./-").contains(c);
}

void appendQuotedWord(QString &out, QByteArrayView word) {
    // A leading '=' would make zsh look the word up as a command.
    if (!word.isEmpty() && !word.startsWith('=') &&
        std::all_of(word.begin(), word.end(), isPlainWordByte)) {
        out += QLatin1String(word.data(), word.size());
        return;
    }
    bool needsEscapes = false;
    for (qsizetype i = 0; i < word.size() && !needsEscapes;) {
        const auto [c, length] = decodeUtf8(word.sliced(i));
        needsEscapes = length == 0 || isHiddenCharacter(c);
        i += std::max<qsizetype>(length, 1);
    }
    if (!needsEscapes) {
        QString text = QString::fromUtf8(word);
        text.replace(u'\'', QStringLiteral("'\\''"));
        out += u'\'' + text + u'\'';
        return;
    }
    out += QStringLiteral("$'");
    for (qsizetype i = 0; i < word.size();) {
        const auto [c, length] = decodeUtf8(word.sliced(i));
        if (length == 0 || isHiddenCharacter(c)) {
            // Each byte on its own: "\xHH" means that byte in every locale,
            // where "\u…" turns into the locale's encoding or stays literal.
            for (qsizetype end = i + std::max<qsizetype>(length, 1); i < end; ++i) {
                const uchar b = uchar(word[i]);
                const char16_t e[] = {u'\\', u'x', hexDigits[b >> 4], hexDigits[b & 0xf]};
                out += QStringView(e, 4);
            }
            continue;
        }
        if (c == u'\\' || c == u'\'')
            out += u'\\';
        out += QString::fromUtf8(word.sliced(i, length));
        i += length;
    }
    out += u'\'';
}

} // namespace

bool isHiddenCharacter(char32_t c) {
    return isControl(c) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
           c == 0x2029 || c == 0xfeff;
}

QString escapeControlCharacters(const QString &text) {
    const auto first = std::find_if(text.cbegin(), text.cend(),
                                    [](QChar c) { return isHiddenCharacter(c.unicode()); });
    if (first == text.cend())
        return text;

    QString escaped;
    escaped.reserve(text.size() + 16);
    escaped.append(QStringView(text.cbegin(), first));
    for (auto it = first; it != text.cend(); ++it) {
        const char16_t c = it->unicode();
        if (isControl(c)) {
            const char16_t e[] = {u'\\', u'x', hexDigits[c >> 4], hexDigits[c & 0xf]};
            escaped.append(QStringView(e, 4));
        } else if (isHiddenCharacter(c)) {
            const char16_t e[] = {u'\\',
                                  u'u',
                                  hexDigits[c >> 12],
                                  hexDigits[(c >> 8) & 0xf],
                                  hexDigits[(c >> 4) & 0xf],
                                  hexDigits[c & 0xf]};
            escaped.append(QStringView(e, 6));
        } else {
            escaped.append(*it);
        }
    }
    return escaped;
}

QString utf8Text(QByteArrayView bytes) {
    // QString::fromUtf8 would drop the first of them.
    constexpr QByteArrayView bom("\xef\xbb\xbf");
    QString text;
    for (; bytes.startsWith(bom); bytes = bytes.sliced(bom.size()))
        text += QChar(0xfeff);
    return text + QString::fromUtf8(bytes);
}

QString boundedName(QString text, qsizetype most) {
    if (text.size() <= most)
        return text;
    qsizetype keep = most - 1;
    if (keep > 0 && text.at(keep - 1).isHighSurrogate()) // never half a character
        --keep;
    text.truncate(keep);
    return text + u'\u2026';
}

QString shellQuotedCommandLine(QByteArrayView rawCommandLine) {
    QByteArrayView rest = rawCommandLine;
    if (rest.endsWith('\0'))
        rest.chop(1);
    QString out;
    if (rawCommandLine.isEmpty())
        return out;
    out.reserve(rest.size() + 16);
    for (qsizetype from = 0;;) {
        const qsizetype end = rest.indexOf('\0', from);
        if (from > 0)
            out += u' ';
        appendQuotedWord(out, rest.sliced(from, (end < 0 ? rest.size() : end) - from));
        if (end < 0)
            break;
        from = end + 1;
    }
    return out;
}
