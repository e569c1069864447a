#include "cli/EntryOutput.h"

#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "model/Holder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The widest a column is padded to, in characters.
constexpr qsizetype widestPaddedColumn = 40;

constexpr std::array<const char *, 9> headings{"PORT", "PROTO", "ADDRESS", "PID",    "USER",
                                               "IP",   "STATE", "PROCESS", "COMMAND"};

qsizetype decimalWidth(qint64 n) {
    qsizetype width = n < 0 ? 2 : 1;
    for (quint64 m = n < 0 ? 0 - quint64(n) : quint64(n); m >= 10; m /= 10)
        ++width;
    return width;
}

QString commandText(const PortEntry &e) {
    QString text;
    for (const QString &argument : e.process.commandLine) {
        if (!text.isEmpty())
            text += u' ';
        text += escapeControlCharacters(argument);
    }
    return text;
}

// The PID cell: "-" where no pid is known. Never 0 (or a negative number):
// a script passing it to kill(1) would signal a whole process group.
QString pidCell(qint32 pid) {
    return pid > 0 ? QString::number(pid) : QStringLiteral("-");
}

// The PROCESS cell: lsof's command name, or for a socket of another user
// with no certain process, where it is held ("(nginx.service)"); "kernel"
// for the kernel's own socket.
QString processCell(const PortEntry &e) {
    if (e.kernelHeld)
        return QStringLiteral("kernel");
    if (!e.processName.isEmpty() || !e.fromKernel)
        return escapeControlCharacters(e.processName);
    const QString place = holderPlace(e);
    return place.isEmpty() ? QStringLiteral("-") : u'(' + escapeControlCharacters(place) + u')';
}

// The cells of one row; the port stays a number, so that measuring its
// column allocates nothing.
struct Row {
    qint64 port;
    QString protocol, address;
    QString pid;
    QString user, ipVersion, state, processName, command;

    explicit Row(const PortEntry &e, bool wide)
        : port(e.port)
        , protocol(escapeControlCharacters(e.networkProtocol))
        , address(escapeControlCharacters(e.address))
        , pid(pidCell(e.pid))
        , user(escapeControlCharacters(e.user))
        , ipVersion(escapeControlCharacters(e.ipVersion))
        , state(escapeControlCharacters(e.state))
        , processName(processCell(e))
        , command(wide ? commandText(e) : QString()) {}

    std::array<qsizetype, 9> widths() const {
        return {decimalWidth(port), protocol.size(), address.size(),     pid.size(),    user.size(),
                ipVersion.size(),   state.size(),    processName.size(), command.size()};
    }
};

// One row's cells, each padded to its column's width and two spaces more
// (at least two where it is wider), the last one unpadded.
void writeRow(OutputStream &out, const Row &row, const std::array<qsizetype, 9> &widths,
              qsizetype columns) {
    const std::array<qsizetype, 9> w = row.widths();
    const auto cell = [&](qsizetype column, const auto &value) {
        if (column < columns) {
            out << value;
            if (column + 1 < columns)
                out.pad(std::max<qsizetype>(widths[column] - w[column], 0) + 2);
        }
    };
    cell(0, row.port);
    cell(1, row.protocol);
    cell(2, row.address);
    cell(3, row.pid);
    cell(4, row.user);
    cell(5, row.ipVersion);
    cell(6, row.state);
    cell(7, row.processName);
    cell(8, row.command);
    out << '\n';
}

} // namespace

void writeTable(OutputStream &out, const PortEntryList &entries, bool wide) {
    const qsizetype columns = wide ? 9 : 8;
    std::array<qsizetype, 9> widths{};
    for (qsizetype c = 0; c < columns; ++c)
        widths[c] = qsizetype(std::strlen(headings[c]));
    // A column is as wide as its widest cell up to a limit: one long name
    // (another user's unit, say) runs past it in its own row instead of
    // padding every other row of the table to its width.
    for (const PortEntry &e : entries) {
        const std::array<qsizetype, 9> w = Row(e, wide).widths();
        for (qsizetype c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], std::min(w[c], widestPaddedColumn));
    }

    for (qsizetype c = 0; c < columns; ++c) {
        out << headings[c];
        out.pad(c + 1 < columns ? widths[c] - qsizetype(std::strlen(headings[c])) + 2 : 0);
    }
    out << '\n';
    for (const PortEntry &e : entries)
        writeRow(out, Row(e, wide), widths, columns);
}

void writeEventLine(OutputStream &out, const PortEvent &event) {
    // Wide enough for the usual cells, so that the lines of a watch line up
    // mostly; a longer cell pushes the rest of its line along.
    static constexpr std::array<qsizetype, 9> widths{5, 5, 15, 7, 8, 9, 6, 0, 0};
    out << event.time.toString(QStringLiteral("HH:mm:ss"))
        << (event.kind == PortEvent::Kind::Opened ? "  opened  " : "  closed  ");
    writeRow(out, Row(event.entry, false), widths, 8);
}

namespace {

// A JSON string as QJsonDocument writes it. Printable ASCII other than the
// quote and the backslash goes out as it is; any other string is left to
// Qt's own writer, so that every escape and encoding stays Qt's.
void writeJsonString(OutputStream &out, const QString &text) {
    const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x80 && c != u'"' && c != u'\\';
    });
    if (plain) {
        out << '"' << text << '"';
        return;
    }
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out.write(array.constData() + 1, array.size() - 2); // without the brackets
}

// How an object is laid out: as an element of the top-level array, its keys
// one a line four spaces deeper than its braces (QJsonDocument::Indented), or
// on one line (QJsonDocument::Compact).
struct JsonLayout {
    const char *open, *key, *colon, *comma, *item, *arrayClose, *close;
};
constexpr JsonLayout indented{"    {\n",        "        ",    ": ",     ",\n",
                              "\n            ", "\n        ]", "\n    }"};
constexpr JsonLayout compact{"{", "", ":", ",", "", "]", "}"};

// Local time with its offset from UTC.
QString isoLocalTime(const QDateTime &time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// One entry's object, its keys in Qt's (sorted) order; with an event, its
// "event" and "time" among them.
void writeJsonObject(OutputStream &out, const PortEntry &e, const JsonLayout &layout,
                     const PortEvent *event = nullptr) {
    bool first = true;
    const auto key = [&](const char *name) {
        out << (first ? "" : layout.comma) << layout.key << '"' << name << '"' << layout.colon;
        first = false;
    };
    const auto text = [&](const char *name, const QString &value) {
        key(name);
        writeJsonString(out, value);
    };
    const auto number = [&](const char *name, qint64 value, bool known) {
        key(name);
        // null, never 0, where no pid is known: kill 0 signals the caller's group.
        if (known)
            out << value;
        else
            out << "null";
    };
    const ProcessInfo &p = e.process;
    out << layout.open;
    text("address", e.address);
    key("commandLine");
    out << '[';
    for (qsizetype i = 0; i < p.commandLine.size(); ++i) {
        out << (i > 0 ? "," : "") << layout.item;
        writeJsonString(out, p.commandLine[i]);
    }
    out << layout.arrayClose;
    // The container engine's keys only where it told them.
    const auto known = [&](const char *name, const QString &value) {
        if (!value.isEmpty())
            text(name, value);
    };
    known("composeProject", e.composeProject);
    text("container", p.container);
    known("containerName", e.containerName);
    text("cwd", p.cwd);
    key("cwdDeleted");
    out << (p.cwdDeleted ? "true" : "false");
    if (event)
        text("event", event->kind == PortEvent::Kind::Opened ? QStringLiteral("opened")
                                                             : QStringLiteral("closed"));
    // The command line keeps no history: a row was there when it started,
    // but one that the watch saw open.
    key("firstSeen");
    if (event && event->kind == PortEvent::Kind::Opened)
        writeJsonString(out, isoLocalTime(event->time));
    else
        out << "null";
    text("id", e.id());
    known("image", e.image);
    text("ipVersion", e.ipVersion);
    // Only on a socket that no process holds: what the kernel holds it for.
    if (e.kernelHeld)
        text("kernel", e.kernelUse.isEmpty() ? QStringLiteral("unknown") : e.kernelUse);
    text("networkProtocol", e.networkProtocol);
    number("pid", e.pid, e.pid > 0);
    number("port", e.port, true);
    text("processName", e.processName);
    text("startedAt",
         p.startedAt.isValid() ? p.startedAt.toUTC().toString(Qt::ISODate) : QString());
    text("state", e.state);
    if (event)
        text("time", isoLocalTime(event->time));
    number("uid", e.uid, e.uid >= 0);
    text("unit", p.unit);
    text("user", e.user);
    out << layout.close;
}

} // namespace

void writeJson(OutputStream &out, const PortEntryList &entries) {
    out << "[\n";
    for (qsizetype i = 0; i < entries.size(); ++i) {
        writeJsonObject(out, entries[i], indented);
        out << (i + 1 < entries.size() ? ",\n" : "\n");
    }
    out << "]\n";
}

void writeEventJson(OutputStream &out, const PortEvent &event) {
    writeJsonObject(out, event.entry, compact, &event);
    out << '\n';
}
