#pragma once

#include <QDeadlineTimer>
#include <cstddef>
#include <functional>

struct nlmsghdr;

// One netlink dump: sends the request (a message whose header comes first)
// on fd and hands each answer to it, by its sequence number, to onMessage
// until the kernel says it is done or onMessage returns false (Stopped).
// Refused: the kernel would not take the request, or answered it with an
// error. Blocking, within the deadline.
enum class NetlinkDump { Done, Refused, Failed, TimedOut, Stopped };
NetlinkDump netlinkDump(int fd, const void *request, std::size_t size,
                        const QDeadlineTimer &deadline,
                        const std::function<bool(const nlmsghdr &)> &onMessage);
