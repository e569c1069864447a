#pragma once

#include <QtGlobal>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Children of the bench that share one UDP socket, so that lsof lists each of
// them: a scan with that many distinct pids. They wait on a pipe and end when
// the bench closes it (or dies).
class SocketHolders {
public:
    explicit SocketHolders(int count) {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_socket < 0 ||
            ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::pipe(m_pipe) != 0)
            return;
        for (int i = 0; i < count; ++i) {
            const pid_t child = ::fork();
            if (child == 0) { // only async-signal-safe calls from here on
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::close(m_pipe[1]);
                char byte;
                while (::read(m_pipe[0], &byte, 1) < 0) {
                }
                ::_exit(0);
            }
            if (child < 0)
                break;
            m_children.push_back(child);
        }
        ::close(m_pipe[0]);
    }
    ~SocketHolders() {
        ::close(m_pipe[1]); // every child reads end of file and exits
        for (const pid_t child : m_children)
            ::waitpid(child, nullptr, 0);
        ::close(m_socket);
    }
    qsizetype size() const { return qsizetype(m_children.size()); }

private:
    int m_socket = -1;
    int m_pipe[2] = {-1, -1};
    std::vector<pid_t> m_children;
};
