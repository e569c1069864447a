#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QTest>

namespace trayhosts {

// A D-Bus call that keeps this thread's events going while it waits, as the
// program may meanwhile ask the test's own objects (its StatusNotifier
// watcher) something. Not QDBus::BlockWithGui: once, on a loaded machine,
// such a call never returned, its timeout never firing (both the test's
// thread and the bus's sat in poll() with none), as if the reply had come
// before the call's own loop began to listen for it.
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
