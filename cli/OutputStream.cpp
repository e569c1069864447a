#include "cli/OutputStream.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

OutputStream::OutputStream(int fd, qsizetype bufferSize)
    : m_fd(fd)
    , m_buffer(bufferSize, Qt::Uninitialized) {}

OutputStream::~OutputStream() {
    flush();
}

char *OutputStream::reserve(qsizetype size) {
    if (m_used + size > m_buffer.size()) {
        flush();
        if (size > m_buffer.size())
            m_buffer.resize(size);
    }
    return m_buffer.data() + m_used;
}

OutputStream &OutputStream::write(const char *data, qsizetype size) {
    std::memcpy(reserve(size), data, size_t(size));
    m_used += size;
    return *this;
}

OutputStream &OutputStream::operator<<(QStringView text) {
    char *start = reserve(m_encoder.requiredSpace(text.size()));
    m_used += m_encoder.appendToBuffer(start, text) - start;
    return *this;
}

OutputStream &OutputStream::operator<<(const char *ascii) {
    return write(ascii, qsizetype(std::strlen(ascii)));
}

OutputStream &OutputStream::operator<<(const QByteArray &utf8) {
    return write(utf8.constData(), utf8.size());
}

OutputStream &OutputStream::operator<<(char c) {
    *reserve(1) = c;
    ++m_used;
    return *this;
}

OutputStream &OutputStream::operator<<(qint64 number) {
    char digits[24];
    char *end = digits + sizeof digits, *p = end;
    // Through the unsigned value, so that the lowest qint64 has a positive twin.
    quint64 magnitude = number < 0 ? 0 - quint64(number) : quint64(number);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (number < 0)
        *--p = '-';
    return write(p, end - p);
}

OutputStream &OutputStream::pad(qsizetype count) {
    if (count > 0) {
        std::memset(reserve(count), ' ', size_t(count));
        m_used += count;
    }
    return *this;
}

bool OutputStream::flush() {
    const char *data = m_buffer.constData();
    qsizetype left = m_used;
    while (left > 0 && m_error == 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n >= 0) {
            data += n;
            left -= n;
        } else if (errno != EINTR) {
            m_error = errno;
        }
    }
    m_used = 0;
    return m_error == 0;
}
