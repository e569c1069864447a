#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

struct inet_diag_msg;

// One socket of the kernel's table: a listening TCP socket or any UDP socket
// of this network namespace, whoever holds it.
struct KernelSocket {
    QString protocol; // "TCP" or "UDP", as lsof names them
    bool ipv6 = false;
    QString address; // the local address as lsof prints it: "*", "127.0.0.1", "[::1]"
    quint16 port = 0;
    quint32 uid = 0;
    quint64 inode = 0;
    quint64 cgroupId = 0; // 0 where the kernel gave none (the /proc/net fallback, cgroup v1)
    // The kernel's lasting name for the socket, which, unlike the inode, its
    // destruction still carries; 0 from the /proc/net fallback.
    quint64 cookie = 0;

    friend bool operator==(const KernelSocket &, const KernelSocket &) = default;
};

struct SocketTableResult {
    enum class Source { None, Netlink, ProcNet };

    QList<KernelSocket> sockets;
    Source source = Source::None;
    // Present when the table could not be read whole: nothing could be read,
    // the time limit passed, or there were more sockets than the cap. What was
    // read before stays in sockets.
    std::optional<QString> errorText;
};

// Reads the kernel's socket table the way any user may: socket diagnostics
// over netlink first (which carries the cgroup of each socket's owner), the
// text tables under /proc/net where netlink is refused. Blocking and bounded;
// safe on any thread.
class SocketTable {
public:
    using OpenSocket = std::function<int(int domain, int type, int protocol)>;

    struct Options {
        std::chrono::milliseconds timeLimit{2000};
        qsizetype cap = 1 << 18;
        QByteArray procRoot = "/proc";
        // How the netlink socket is opened: ::socket unless a test makes
        // netlink refuse.
        OpenSocket openSocket;
    };

    // A socket diagnostics socket by open (::socket when it is empty), or -1
    // with errno set.
    static int openNetlink(const OpenSocket &open);

    static SocketTableResult read(const Options &options);
    static SocketTableResult read() { return read(Options{}); }
    static SocketTableResult readNetlink(const Options &options);
    static SocketTableResult readProcNet(const Options &options);

    // One row of /proc/net/{tcp,tcp6,udp,udp6}. For TCP only listening sockets
    // count; a header or a malformed line gives nothing.
    static std::optional<KernelSocket> parseProcNetLine(QByteArrayView line, bool tcp, bool ipv6);

    // An address in network byte order (4 or 16 bytes) as lsof prints it: the
    // wildcard as "*", an IPv4-mapped IPv6 address as its IPv4 form, other
    // IPv6 addresses in brackets.
    static QString addressText(const unsigned char *bytes, bool ipv6);

    // The socket's cookie as a sock_diag message carries it, in two halves.
    static quint64 cookieOf(const inet_diag_msg &message);
};
