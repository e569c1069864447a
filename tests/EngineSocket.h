#pragma once

// A unix socket of the caller's own standing in for a container engine's.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

// A unix socket of the caller's own at path: bound only (connecting is
// refused), listening without ever accepting (a connection waits forever),
// or serving one answer per connection on a thread: a canned one, or the
// answerer's to the request.
class EngineSocket {
public:
    enum class Mode { Refusing, Silent, Answering };
    using Answerer = std::function<QByteArray(const QByteArray &request)>;

    EngineSocket(const QString &path, Mode mode, QByteArray answer = {})
        : EngineSocket(path, mode, [answer](const QByteArray &) { return answer; }) {}
    EngineSocket(const QString &path, Answerer answerer)
        : EngineSocket(path, Mode::Answering, std::move(answerer)) {}
    EngineSocket(const QString &path, Mode mode, Answerer answerer)
        : m_answerer(std::move(answerer)) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        if (mode == Mode::Refusing)
            return;
        ::listen(m_fd, 4);
        if (mode == Mode::Answering)
            m_server = std::thread([this] { serve(); });
    }
    ~EngineSocket() {
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_server.joinable())
            m_server.join();
        ::close(m_fd);
    }
    // The requests received, each up to its blank line.
    QList<QByteArray> requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void serve() {
        for (;;) {
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            QByteArray request;
            char buffer[4096];
            while (!request.contains("\r\n\r\n")) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.append(request);
            }
            const QByteArray answer = m_answerer(request);
            ::send(client, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int m_fd = -1;
    Answerer m_answerer;
    std::thread m_server;
    std::mutex m_mutex;
    QList<QByteArray> m_requests;
};

// An engine's HTTP answer with a JSON body.
inline QByteArray httpAnswer(int status, const QByteArray &body = {}) {
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}
