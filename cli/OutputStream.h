#pragma once

#include <QByteArray>
#include <QString>
#include <QStringEncoder>
#include <QStringView>

// Buffered UTF-8 output to a file descriptor: text is encoded straight into
// one fixed buffer and written out whenever it fills, so that printing a list
// costs no more memory than that buffer, however long the list. A failed write
// is remembered and everything after it is dropped; flush() reports it.
class OutputStream {
public:
    explicit OutputStream(int fd, qsizetype bufferSize = 64 * 1024);
    ~OutputStream();
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    OutputStream &operator<<(QStringView text);
    OutputStream &operator<<(const QString &text) { return *this << QStringView(text); }
    OutputStream &operator<<(const char *ascii); // fixed texts of this program
    OutputStream &operator<<(const QByteArray &utf8);
    OutputStream &operator<<(char c);
    OutputStream &operator<<(qint64 number);
    OutputStream &operator<<(int number) { return *this << qint64(number); }
    // count spaces
    OutputStream &pad(qsizetype count);
    // Bytes already in UTF-8.
    OutputStream &write(const char *data, qsizetype size);

    // Writes out what is buffered; false when this or any earlier write failed.
    bool flush();
    // The errno value of the first failed write, 0 while none failed.
    int error() const { return m_error; }

private:
    char *reserve(qsizetype size);

    int m_fd;
    QByteArray m_buffer;
    qsizetype m_used = 0;
    int m_error = 0;
    QStringEncoder m_encoder{QStringEncoder::Utf8};
};
