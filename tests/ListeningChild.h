#pragma once

// A child process the test starts itself: perl listening on an ephemeral TCP
// port of 127.0.0.1, running until its standard input is closed. In the
// "ignore" mode it survives SIGTERM and prints "TERM" for each one received.
//
// Signals for it go through a pidfd opened while the child is known to be
// alive (it waits on its input), so that nothing the test does can reach a
// process that took over the pid after this one was reaped.

#include <QFile>
#include <QProcess>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

class ListeningChild {
public:
    enum class OnTerm { Exit, Ignore };

    static QString perlPath() { return QStringLiteral("/usr/bin/perl"); }
    static bool available() { return QFile::exists(perlPath()); }

    explicit ListeningChild(OnTerm onTerm) {
        static const char script[] =
            "use IO::Socket::INET; $| = 1;"
            "my $s = IO::Socket::INET->new(Listen => 5, LocalAddr => '127.0.0.1',"
            "  LocalPort => 0, Proto => 'tcp') or die \"listen: $!\";"
            "$SIG{TERM} = sub { print \"TERM\\n\" } if $ARGV[0] eq 'ignore';"
            "print $s->sockport, \"\\n\";"
            "while (<STDIN>) {}";
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(perlPath(), {QStringLiteral("-e"), QString::fromLatin1(script),
                                     onTerm == OnTerm::Ignore ? QStringLiteral("ignore")
                                                              : QStringLiteral("exit")});
        if (!m_process.waitForStarted(10000))
            return;
        m_pid = qint32(m_process.processId());
        m_pidfd = int(::syscall(SYS_pidfd_open, pid_t(m_pid), 0));
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_port = m_process.readLine().trimmed().toInt();
    }

    ~ListeningChild() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(5000))
                signal(SIGKILL);
            m_process.waitForFinished(5000);
        }
        if (m_pidfd >= 0)
            ::close(m_pidfd);
    }

    ListeningChild(const ListeningChild &) = delete;
    ListeningChild &operator=(const ListeningChild &) = delete;

    bool isValid() const { return m_pidfd >= 0 && m_port > 0; }
    qint32 pid() const { return m_pid; }
    int port() const { return m_port; }
    QProcess &process() { return m_process; }

    // kill(2) for this child only: 0, or the errno value (ESRCH once reaped).
    int signal(int signal) const {
        return ::syscall(SYS_pidfd_send_signal, m_pidfd, signal, nullptr, 0) == 0 ? 0 : errno;
    }

    // Lets the child end on its own: closes its input and reaps it.
    bool exitAndReap() {
        m_process.closeWriteChannel();
        return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit;
    }

    // How many "TERM" lines the child has printed so far (Ignore mode).
    int termsReceived() {
        m_output += m_process.readAllStandardOutput();
        return int(m_output.count("TERM\n"));
    }

    bool endedBySignal() const {
        return m_process.state() == QProcess::NotRunning &&
               m_process.exitStatus() == QProcess::CrashExit;
    }

private:
    QProcess m_process;
    qint32 m_pid = 0;
    int m_pidfd = -1;
    int m_port = 0;
    QByteArray m_output;
};
