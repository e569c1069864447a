#pragma once

// A child process the test starts itself: perl listening on an ephemeral TCP
// port of 127.0.0.1 until its standard input is closed, in the Ignore mode
// ignoring SIGTERM, in the ExitSlowly mode exiting 4 seconds after it.
//
// Signals for it go through a pidfd opened while the child is known to be
// alive (it waits on its input), so that nothing the test does can reach a
// process that took over the pid after this one was reaped.

#include <QProcess>
#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

struct ListeningChild {
    enum class OnTerm { Exit, Ignore, ExitSlowly };
    QProcess process;
    qint32 pid = 0;
    int pidfd = -1, port = 0;

    explicit ListeningChild(OnTerm onTerm) {
        process.start("/usr/bin/perl",
                      {"-MIO::Socket::INET", "-e",
                       "my $s = IO::Socket::INET->new(Listen => 5, LocalAddr => '127.0.0.1') "
                       "or die $!; $SIG{TERM} = 'IGNORE' if $ARGV[0] == 1;"
                       "$SIG{TERM} = sub { sleep 4; exit 0 } if $ARGV[0] == 2; $| = 1;"
                       "print $s->sockport, \"\\n\"; while (<STDIN>) {}",
                       QString::number(int(onTerm))});
        process.waitForReadyRead(10000); // the port, once it listens
        pid = qint32(process.processId());
        pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
        port = process.readLine().trimmed().toInt();
    }
    ~ListeningChild() {
        if (!exitAndReap() && signal(SIGKILL) == 0)
            process.waitForFinished(5000);
        ::close(pidfd);
    }

    // kill(2) for this child only: 0, or the errno value (ESRCH once reaped).
    int signal(int signal) const {
        return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0 ? 0 : errno;
    }
    // Lets the child end on its own: closes its input and reaps it.
    bool exitAndReap() {
        process.closeWriteChannel();
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    }
    // The signal that ended the child; 0 while it runs or once it ended by itself.
    int endedBy() const {
        return process.exitStatus() == QProcess::CrashExit ? process.exitCode() : 0;
    }
};
