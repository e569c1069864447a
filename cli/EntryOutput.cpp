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
// with no certain process, where it is held ("(nginx.service)").
QString processCell(const PortEntry &e) {
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

    // Two spaces after the widest cell of a column, at least two after a
    // longer one; the last column unpadded.
    const auto padTo = [&](qsizetype column, qsizetype used) {
        if (column + 1 < columns)
            out.pad(std::max<qsizetype>(widths[column] - used, 0) + 2);
    };
    for (qsizetype c = 0; c < columns; ++c) {
        out << headings[c];
        padTo(c, qsizetype(std::strlen(headings[c])));
    }
    out << '\n';
    for (const PortEntry &e : entries) {
        const Row row(e, wide);
        const std::array<qsizetype, 9> w = row.widths();
        const auto cell = [&](qsizetype column, const auto &value) {
            if (column < columns) {
                out << value;
                padTo(column, w[column]);
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

// One entry's object, as an element of the top-level array: its keys in Qt's
// (sorted) order, each line four spaces deeper than the object's braces.
void writeJsonObject(OutputStream &out, const PortEntry &e) {
    const auto key = [&](const char *name) { out << "        \"" << name << "\": "; };
    const auto text = [&](const char *name, const QString &value, bool last = false) {
        key(name);
        writeJsonString(out, value);
        out << (last ? "\n" : ",\n");
    };
    const ProcessInfo &p = e.process;
    out << "    {\n";
    text("address", e.address);
    key("commandLine");
    out << "[\n";
    for (qsizetype i = 0; i < p.commandLine.size(); ++i) {
        out << "            ";
        writeJsonString(out, p.commandLine[i]);
        out << (i + 1 < p.commandLine.size() ? ",\n" : "\n");
    }
    out << "        ],\n";
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
    out << (p.cwdDeleted ? "true" : "false") << ",\n";
    // The command line keeps no history: every row was there when it started.
    key("firstSeen");
    out << "null,\n";
    text("id", e.id());
    known("image", e.image);
    text("ipVersion", e.ipVersion);
    text("networkProtocol", e.networkProtocol);
    key("pid");
    // null, never 0, where no pid is known: kill 0 signals the caller's group.
    if (e.pid > 0)
        out << qint64(e.pid) << ",\n";
    else
        out << "null,\n";
    key("port");
    out << e.port << ",\n";
    text("processName", e.processName);
    text("startedAt",
         p.startedAt.isValid() ? p.startedAt.toUTC().toString(Qt::ISODate) : QString());
    text("state", e.state);
    key("uid");
    if (e.uid >= 0)
        out << e.uid << ",\n";
    else
        out << "null,\n";
    text("unit", p.unit);
    text("user", e.user, true);
    out << "    }";
}

} // namespace

void writeJson(OutputStream &out, const PortEntryList &entries) {
    out << "[\n";
    for (qsizetype i = 0; i < entries.size(); ++i) {
        writeJsonObject(out, entries[i]);
        out << (i + 1 < entries.size() ? ",\n" : "\n");
    }
    out << "]\n";
}
