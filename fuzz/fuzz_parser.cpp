// libFuzzer target: arbitrary bytes as lsof's standard output, through the
// parser and the merge step. Besides crashes and sanitizer reports it checks
// the promises the rest of the program builds on, and compares both steps with
// a deliberately plain second reading of the format (the parser is tuned for
// speed, which is where a divergence would creep in). Any violation aborts.
#include "scanner/FieldOutputParser.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_parser: %s\n", what);
        std::abort();
    }
}

// Optional sign, at least one ASCII digit, nothing else, within T's range.
template <typename T> std::optional<T> plainDecimal(QStringView text) {
    std::string ascii;
    for (QChar c : text) {
        if (c.unicode() > 0x7f)
            return std::nullopt;
        ascii += char(c.unicode());
    }
    size_t digits = 0;
    if (!ascii.empty() && (ascii[0] == '+' || ascii[0] == '-'))
        digits = 1;
    if (digits == ascii.size())
        return std::nullopt;
    for (size_t i = digits; i < ascii.size(); ++i) {
        if (ascii[i] < '0' || ascii[i] > '9')
            return std::nullopt;
    }
    if (ascii[0] == '+')
        ascii.erase(0, 1);
    T value{};
    const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (error != std::errc() || end != ascii.data() + ascii.size())
        return std::nullopt;
    return value;
}

std::optional<Endpoint> plainSplit(const QString &name) {
    const qsizetype arrow = name.indexOf(QStringLiteral("->"));
    const QString local = arrow >= 0 ? name.left(arrow) : name;
    const qsizetype colon = local.lastIndexOf(u':');
    if (colon < 0)
        return std::nullopt;
    const auto port = plainDecimal<qint64>(QStringView(local).mid(colon + 1));
    if (!port)
        return std::nullopt;
    return Endpoint{local.left(colon), *port};
}

PortEntryList plainParse(const QString &output, const QString &defaultProtocol) {
    PortEntryList result;
    qint32 pid = 0;
    QString command, user, protocol, type, name, state;
    bool pending = false;
    const auto flush = [&] {
        if (const auto endpoint = plainSplit(name)) {
            result.append(PortEntry(pid, command, user,
                                    protocol.isEmpty() ? defaultProtocol : protocol, type,
                                    endpoint->address, endpoint->port, state));
        }
        protocol.clear();
        type.clear();
        name.clear();
        state.clear();
    };
    for (const QString &line : output.split(u'\n', Qt::SkipEmptyParts)) {
        const QString value = line.mid(1);
        switch (line.at(0).unicode()) {
        case u'p':
            if (pending)
                flush();
            pending = false;
            pid = plainDecimal<qint32>(value).value_or(0);
            break;
        case u'c':
            command = value;
            break;
        case u'L':
            user = value;
            break;
        case u'f':
            if (pending)
                flush();
            pending = true;
            break;
        case u'P':
            protocol = value;
            break;
        case u't':
            type = value;
            break;
        case u'n':
            name = value;
            break;
        case u'T':
            if (value.startsWith(QStringLiteral("ST=")))
                state = value.mid(3);
            break;
        }
    }
    if (pending)
        flush();
    return result;
}

// Keyed by the id text itself; ties keep first-seen order.
PortEntryList plainMerge(const PortEntryList &entries) {
    QHash<QString, qsizetype> indexById;
    PortEntryList merged;
    for (const PortEntry &e : entries) {
        const QString id = e.id();
        if (!indexById.contains(id)) {
            indexById.insert(id, merged.size());
            merged.append(e);
            continue;
        }
        PortEntry &m = merged[indexById.value(id)];
        if (m.ipVersion != e.ipVersion && !m.ipVersion.contains(e.ipVersion))
            m.ipVersion = QStringLiteral("IPv4/IPv6");
        if (e.address == QStringLiteral("*"))
            m.address = e.address;
        if (m.state.isEmpty())
            m = PortEntry(m.pid, m.processName, m.user, m.networkProtocol, m.ipVersion, m.address,
                          m.port, e.state);
    }
    std::stable_sort(merged.begin(), merged.end(), [](const PortEntry &a, const PortEntry &b) {
        return a.port != b.port ? a.port < b.port : a.networkProtocol < b.networkProtocol;
    });
    return merged;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString output = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString defaultProtocol =
        size > 0 && data[0] % 2 ? QStringLiteral("UDP") : QStringLiteral("TCP");

    const PortEntryList parsed = parseFieldOutput(output, defaultProtocol);
    check(parsed == plainParse(output, defaultProtocol), "parser differs from plain reading");
    QSet<QString> parsedIds;
    for (const PortEntry &e : parsed) {
        check(!e.networkProtocol.isEmpty(), "record without protocol");
        parsedIds.insert(e.id());
    }
    // The row key stands for the id text: equal exactly when the texts are,
    // and then hashed alike. Pairs among the first records, to stay linear.
    const qsizetype paired = std::min<qsizetype>(parsed.size(), 32);
    for (qsizetype i = 0; i < paired; ++i) {
        const PortEntry::Key a = parsed[i].key();
        const QString id = parsed[i].id();
        check(a.text() == id, "key text differs from id");
        for (qsizetype j = 0; j < i; ++j) {
            const PortEntry::Key b = parsed[j].key();
            check((a == b) == (id == parsed[j].id()), "key equality differs from id");
            check(a != b || qHash(a, 1) == qHash(b, 1), "equal keys hash apart");
        }
    }
    for (const QString &line : output.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u'n'))
            check(splitEndpoint(QStringView(line).mid(1)) == plainSplit(line.mid(1)),
                  "splitEndpoint differs from plain reading");
    }

    const PortEntryList merged = mergeEntries(parsed);
    check(merged == plainMerge(parsed), "merge differs from plain reading");
    QSet<QString> mergedIds;
    for (qsizetype i = 0; i < merged.size(); ++i) {
        const PortEntry &e = merged[i];
        mergedIds.insert(e.id());
        if (i > 0) {
            const PortEntry &prev = merged[i - 1];
            check(prev.port < e.port ||
                      (prev.port == e.port && prev.networkProtocol <= e.networkProtocol),
                  "not sorted by port, then protocol");
        }
    }
    check(mergedIds.size() == merged.size(), "ids not unique after merge");
    check(mergedIds == parsedIds, "merge lost or invented an id");
    check(mergeEntries(merged) == merged, "merging a merged list changed it");
    return 0;
}
