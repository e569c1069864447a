#pragma once

// How the tray host suite sees and drives a headless KWin Wayland session:
// the screen through KWin's screenshot service, the keyboard through
// kwin-fake-input (kwin_fake_input.cpp), as Xwayland is rootless there and
// has no screen image, and a native plasmashell takes no X11 input.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QImage>
#include <QStringList>
#include <QVariantMap>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace trayhosts {

// The whole screen from org.kde.KWin.ScreenShot2, which KWin offers only
// with OpenGL compositing and, unless its permission checks are off, only to
// programs it knows. KWin answers with the image's shape and then writes its
// pixels into the pipe it was given; null when either fails.
inline QImage kwinScreenshot(QDBusConnection &bus) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {};
    QVariantMap shape;
    {
        // The message holds a copy of the pipe's writing end: gone with it,
        // before the reading.
        QDBusMessage message =
            QDBusMessage::createMethodCall("org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                           "org.kde.KWin.ScreenShot2", "CaptureWorkspace");
        message << QVariantMap() << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
        ::close(fds[1]);
        const QDBusMessage reply = bus.call(message, QDBus::BlockWithGui, 10000);
        shape = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    }
    const int width = shape.value("width").toInt(), height = shape.value("height").toInt();
    const int stride = shape.value("stride").toInt();
    const auto format = QImage::Format(shape.value("format").toInt());
    QByteArray pixels;
    const qsizetype size = qsizetype(stride) * height;
    while (pixels.size() < size) {
        pollfd readable{fds[0], POLLIN, 0};
        char chunk[65536];
        const ssize_t got =
            ::poll(&readable, 1, 10000) == 1 ? ::read(fds[0], chunk, sizeof chunk) : 0;
        if (got <= 0)
            break;
        pixels.append(chunk, got);
    }
    ::close(fds[0]);
    if (shape.value("type").toString() != "raw" || size <= 0 || pixels.size() != size)
        return {};
    return QImage(reinterpret_cast<const uchar *>(pixels.constData()), width, height, stride,
                  format)
        .convertToFormat(QImage::Format_RGB32);
}

// kwin-fake-input's steps that type the text on a US keyboard: digits and
// lower-case Latin letters, each key pressed and released (evdev codes).
inline QStringList fakeKeys(const QString &text) {
    static const std::pair<const char *, int> rows[] = {
        {"1234567890", 2}, {"qwertyuiop", 16}, {"asdfghjkl", 30}, {"zxcvbnm", 44}};
    QStringList steps;
    for (const QChar c : text)
        for (const auto &[keys, first] : rows)
            if (const char *at = std::strchr(keys, c.toLatin1()); at && *at)
                for (const char *state : {" 1", " 0"})
                    steps << "key " + QString::number(first + (at - keys)) + state;
    return steps;
}

} // namespace trayhosts
