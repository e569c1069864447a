#include "scanner/FieldOutputParser.h"

#include <QHash>

#include <algorithm>
#include <limits>

template <typename T> std::optional<T> parseDecimal(QStringView text)
{
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

std::optional<Endpoint> splitEndpoint(QStringView name)
{
    const qsizetype arrow = name.indexOf(u"->");
    const QStringView local = arrow >= 0 ? name.left(arrow) : name;
    const qsizetype colon = local.lastIndexOf(u':');
    if (colon < 0)
        return std::nullopt;
    const auto port = parseDecimal<qint64>(local.mid(colon + 1));
    if (!port)
        return std::nullopt;
    return Endpoint{local.left(colon).toString(), *port};
}

namespace {

// The same few values recur on every socket; sharing one QString for each keeps
// a large scan from allocating them a hundred thousand times.
QString interned(QStringView value)
{
    static const QString common[] = {QStringLiteral("TCP"),  QStringLiteral("UDP"),
                                     QStringLiteral("IPv4"), QStringLiteral("IPv6"),
                                     QStringLiteral("LISTEN"), QStringLiteral("*")};
    for (const QString &s : common) {
        if (value == s)
            return s;
    }
    return value.toString();
}

struct FileSet
{
    QStringView protocol, type, name;
    QString state;
};

} // namespace

PortEntryList parseFieldOutput(QStringView output, const QString &defaultProtocol)
{
    PortEntryList result;
    qint32 pid = 0;
    QString command, user;
    FileSet file;
    bool filePending = false;

    auto flush = [&] {
        if (const auto endpoint = splitEndpoint(file.name)) {
            const QString address = endpoint->address == u"*" ? interned(u"*") : endpoint->address;
            result.emplaceBack(pid, command, user,
                               file.protocol.isEmpty() ? defaultProtocol : interned(file.protocol),
                               interned(file.type), address, endpoint->port, file.state);
        }
        file = FileSet{};
    };

    qsizetype start = 0;
    const qsizetype size = output.size();
    while (start < size) {
        qsizetype end = output.indexOf(u'\n', start);
        if (end < 0)
            end = size;
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
            if (value.startsWith(u"ST="))
                file.state = interned(value.sliced(3));
            break;
        default:
            break;
        }
    }
    if (filePending)
        flush();
    return result;
}

PortEntryList mergeEntries(const PortEntryList &entries)
{
    PortEntryList merged;
    merged.reserve(entries.size());
    QHash<QString, qsizetype> indexById;
    indexById.reserve(entries.size());

    for (const PortEntry &e : entries) {
        // One lookup per record: the slot holds index + 1, so 0 means "new".
        qsizetype &slot = indexById[e.id()];
        if (slot == 0) {
            merged.append(e);
            slot = merged.size();
            continue;
        }
        PortEntry &m = merged[slot - 1];
        if (m.ipVersion != e.ipVersion && !m.ipVersion.contains(e.ipVersion))
            m.ipVersion = QStringLiteral("IPv4/IPv6");
        if (e.address == u"*")
            m.address = e.address;
        if (m.state.isEmpty())
            m.state = e.state;
    }

    std::stable_sort(merged.begin(), merged.end(), [](const PortEntry &a, const PortEntry &b) {
        if (a.port != b.port)
            return a.port < b.port;
        return QStringView(a.networkProtocol).compare(b.networkProtocol, Qt::CaseSensitive) < 0;
    });
    return merged;
}
