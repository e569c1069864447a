#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QTest>

namespace trayhosts {

// A D-Bus call that keeps this thread's events going while it waits, as the
// program may meanwhile ask the test's own objects (its StatusNotifier
// watcher) something. Not QDBus::BlockWithGui: in Qt 6.4 a reply that comes
// before that call has begun to listen for it is missed, and the call then
// waits for ever, timeout or not.
inline QDBusMessage callAnswering(QDBusConnection &bus, const QDBusMessage &message,
                                  int ms = 10000) {
    QDBusPendingCall pending = bus.asyncCall(message, ms);
    // The bus times the call out itself; this is for a bus gone quiet.
    const QDeadlineTimer deadline(ms + 1000);
    while (!pending.isFinished() && !deadline.hasExpired())
        QTest::qWait(2);
    return pending.isFinished()
               ? pending.reply()
               : QDBusMessage(message.createErrorReply(QDBusError::Timeout, "no answer"));
}

} // namespace trayhosts
