#include "scanner/FieldOutputParser.h"

#include <QHash>
#include <algorithm>
#include <limits>
#include <vector>

template <typename T> std::optional<T> parseDecimal(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    // Accumulate towards the sign so that the minimum value still fits.
    T value = 0;
    constexpr T max = std::numeric_limits<T>::max();
    constexpr T min = std::numeric_limits<T>::min();
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const T digit = T(c - u'0');
        if (negative) {
            if (value < (min + digit) / 10)
                return std::nullopt;
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
    }
    return value;
}
template std::optional<qint32> parseDecimal<qint32>(QStringView);
template std::optional<qint64> parseDecimal<qint64>(QStringView);

namespace {

struct EndpointView {
    QStringView address;
    qint64 port;
};

std::optional<EndpointView> splitEndpointView(QStringView name) {
    // Names are short, so plain loops beat calls of the vectorised searches.
    // The local end is what comes before the first "->".
    QStringView local = name;
    for (qsizetype i = 0; i + 1 < name.size(); ++i) {
        if (name[i] == u'-' && name[i + 1] == u'>') {
            local = name.first(i);
            break;
        }
    }
    qsizetype colon = local.size() - 1;
    while (colon >= 0 && local[colon] != u':')
        --colon;
    if (colon < 0)
        return std::nullopt;
    const auto port = parseDecimal<qint64>(local.sliced(colon + 1));
    if (!port)
        return std::nullopt;
    return EndpointView{local.first(colon), *port};
}

// The same few values recur on every socket; sharing one QString for each keeps
// a large scan from allocating them a hundred thousand times.
template <size_t N> QString interned(QStringView value, const QString (&common)[N]) {
    for (const QString &s : common) {
        if (value == s)
            return s;
    }
    return value.toString();
}

QString internedProtocol(QStringView value) {
    static const QString common[] = {QStringLiteral("TCP"), QStringLiteral("UDP")};
    return interned(value, common);
}

QString internedType(QStringView value) {
    static const QString common[] = {QStringLiteral("IPv4"), QStringLiteral("IPv6")};
    return interned(value, common);
}

QString internedState(QStringView value) {
    static const QString common[] = {QStringLiteral("LISTEN")};
    return interned(value, common);
}

// Addresses repeat too (the wildcard, loopback, the machine's own address), but
// which ones depends on the machine: besides the usual ones, the last address
// seen is reused when the next socket has the same.
class AddressCache {
public:
    QString get(QStringView value) {
        static const QString common[] = {QStringLiteral("*"), QStringLiteral("127.0.0.1"),
                                         QStringLiteral("[::1]")};
        for (const QString &s : common) {
            if (value == s)
                return s;
        }
        if (value != m_last)
            m_last = value.toString();
        return m_last;
    }

private:
    QString m_last;
};

struct FileSet {
    QStringView protocol, type, name;
    QString state;
};

} // namespace

std::optional<Endpoint> splitEndpoint(QStringView name) {
    const auto endpoint = splitEndpointView(name);
    if (!endpoint)
        return std::nullopt;
    return Endpoint{endpoint->address.toString(), endpoint->port};
}

PortEntryList parseFieldOutput(QStringView output, const QString &defaultProtocol) {
    PortEntryList result;
    // A socket takes some 40 characters or more of field output (f, t, P, n and
    // T lines); reserving for that spares most regrowth of a large result.
    result.reserve(output.size() / 40);
    appendFieldOutput(result, output, defaultProtocol);
    return result;
}

void appendFieldOutput(PortEntryList &result, QStringView output, const QString &defaultProtocol) {
    qint32 pid = 0;
    QString command, user;
    FileSet file;
    bool filePending = false;
    AddressCache addresses;

    auto flush = [&] {
        if (const auto endpoint = splitEndpointView(file.name)) {
            result.emplaceBack(pid, command, user,
                               file.protocol.isEmpty() ? defaultProtocol
                                                       : internedProtocol(file.protocol),
                               internedType(file.type), addresses.get(endpoint->address),
                               endpoint->port, file.state);
        }
        file = FileSet{};
    };

    // Lines are a few characters long; a plain loop finds their ends sooner than
    // a call of the vectorised search per line.
    const char16_t *const text = output.utf16();
    const qsizetype size = output.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && text[end] != u'\n')
            ++end;
        const QStringView line = output.sliced(start, end - start);
        start = end + 1;
        if (line.isEmpty())
            continue;
        const QStringView value = line.sliced(1);
        switch (line.front().unicode()) {
        case u'p':
            if (filePending)
                flush();
            filePending = false;
            pid = parseDecimal<qint32>(value).value_or(0);
            break;
        case u'c':
            command = value.toString();
            break;
        case u'L':
            user = value.toString();
            break;
        case u'f':
            if (filePending)
                flush();
            filePending = true;
            break;
        case u'P':
            file.protocol = value;
            break;
        case u't':
            file.type = value;
            break;
        case u'n':
            file.name = value;
            break;
        case u'T':
            if (value.size() >= 3 && value[0] == u'S' && value[1] == u'T' && value[2] == u'=')
                file.state = internedState(value.sliced(3));
            break;
        default:
            break;
        }
    }
    if (filePending)
        flush();
}

PortEntryList mergeEntries(PortEntryList entries) {
    // In place: each record either moves down to the next free row or folds
    // into the row of its key, so no second list of records is ever made.
    // Keyed by the records' row key, which groups them exactly as their id
    // texts would without building a text per record; a key refers to the
    // protocol text, whose characters stay where they are when the record moves.
    QHash<PortEntry::Key, qsizetype> indexByKey;
    indexByKey.reserve(entries.size());
    qsizetype kept = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        PortEntry &e = entries[i];
        // One lookup per record: the slot holds index + 1, so 0 means "new".
        qsizetype &slot = indexByKey[e.key()];
        if (slot == 0) {
            if (i != kept)
                entries[kept] = std::move(e);
            slot = ++kept;
            continue;
        }
        PortEntry &m = entries[slot - 1];
        // Two different texts of equal length cannot contain each other, which
        // spares the substring search for the usual IPv4/IPv6 twin.
        if (m.ipVersion != e.ipVersion &&
            (e.ipVersion.size() >= m.ipVersion.size() || !m.ipVersion.contains(e.ipVersion)))
            m.ipVersion = QStringLiteral("IPv4/IPv6");
        if (e.address == u"*")
            m.address = e.address;
        if (m.state.isEmpty())
            m.state = e.state;
        for (quint64 inode : std::as_const(e.inodes)) {
            if (!m.inodes.contains(inode))
                m.inodes.append(inode);
        }
    }
    indexByKey = {};
    entries.resize(kept);

    // Sorting the records themselves would move eight fields per swap; small
    // keys sort faster, and the index as the last key keeps ties in first-seen
    // order.
    struct SortKey {
        qint64 port;
        QStringView protocol;
        qsizetype index;
    };
    std::vector<SortKey> order;
    order.reserve(size_t(kept));
    for (qsizetype i = 0; i < kept; ++i)
        order.push_back({entries.at(i).port, entries.at(i).networkProtocol, i});
    std::sort(order.begin(), order.end(), [](const SortKey &a, const SortKey &b) {
        if (a.port != b.port)
            return a.port < b.port;
        // Protocols are mostly shared strings: the same data is the same text.
        if (a.protocol.data() != b.protocol.data() || a.protocol.size() != b.protocol.size()) {
            if (const int c = a.protocol.compare(b.protocol); c != 0)
                return c < 0;
        }
        return a.index < b.index;
    });
    // Row k takes the record at order[k].index: followed round each cycle of
    // that permutation, with one record held aside per cycle.
    std::vector<bool> placed(size_t(kept), false);
    for (qsizetype start = 0; start < kept; ++start) {
        if (placed[size_t(start)] || order[size_t(start)].index == start)
            continue;
        PortEntry held = std::move(entries[start]);
        qsizetype row = start;
        for (;;) {
            placed[size_t(row)] = true;
            const qsizetype from = order[size_t(row)].index;
            if (from == start) {
                entries[row] = std::move(held);
                break;
            }
            entries[row] = std::move(entries[from]);
            row = from;
        }
    }
    return entries;
}
