#pragma once

// A stand-in for lsof: a /bin/sh script in a temporary directory, handed to PortScanner
// or quayline-cli --lsof. Its preamble sets dir (that directory) and run ("tcp" when
// called with -iTCP, else "udp"), then writes the arguments, one a line, to
// "$dir/$run.args", which also records that the run started.

#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

struct StubLsof {
    // A failed write shows up in the tests as a missing lsof.
    explicit StubLsof(const QByteArray &body, bool executable = true) {
        write("lsof", "#!/bin/sh\ndir=${0%/*}\nrun=udp\ncase \"$*\" in *-iTCP*) run=tcp ;; esac\n"
                      "printf '%s\\n' \"$@\" >\"$dir/$run.args\"\n" +
                          body);
        QFile::setPermissions(path(),
                              QFile::ReadOwner | (executable ? QFile::ExeOwner : QFile::ReadOwner));
    }

    // lsof's fields for command (pid, owned by user) listening on TCP 127.0.0.1:port.
    static QByteArray listing(qint64 pid, const QString &command, const QString &user, int port) {
        return QStringLiteral("p%1\nc%2\nL%3\nf3\ntIPv4\nPTCP\nn127.0.0.1:%4\nTST=LISTEN\n")
            .arg(QString::number(pid), command, user, QString::number(port))
            .toUtf8();
    }

    // A body whose TCP run lists, on every run afresh, the processes that the
    // shell command pidsAndPorts names ("PID PORT" a line): each under its
    // command name, as a listener on TCP 127.0.0.1:PORT owned by user, once
    // it holds a socket. For processes the test started (or that its own
    // children or daemons did), found without lsof, which would also list
    // whatever else on the machine shares a port number with them.
    static QByteArray listingOf(const QByteArray &pidsAndPorts, const QString &user) {
        return "[ \"$run\" = udp ] && exit 0\n(" + pidsAndPorts +
               ") 2>/dev/null | while read pid port; do\n"
               "  ls -l /proc/$pid/fd 2>/dev/null | grep -q 'socket:' || continue\n"
               "  read comm </proc/$pid/comm || continue\n"
               "  printf 'p%s\\nc%s\\nL%s\\nf3\\ntIPv4\\nPTCP\\nn127.0.0.1:%s\\nTST=LISTEN\\n' "
               "\"$pid\" \"$comm\" '" +
               user.toUtf8() + "' \"$port\"\ndone\nexit 0\n";
    }

    QString path() const { return dir.filePath(QStringLiteral("lsof")); }
    // The pid that a TCP run lists first now; 0 for none.
    qint32 firstListed() const {
        QProcess run;
        run.start(path(), {QStringLiteral("-iTCP")});
        run.waitForFinished(30000);
        const QByteArray out = run.readAllStandardOutput();
        return out.startsWith('p') ? out.mid(1, out.indexOf('\n') - 1).toInt() : 0;
    }
    // Whether a run has started (written its arguments).
    bool ran() const {
        return QFile::exists(dir.filePath(QStringLiteral("tcp.args"))) ||
               QFile::exists(dir.filePath(QStringLiteral("udp.args")));
    }
    QByteArray read(const QString &name) const {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The numbers in a file, one a line (pids the stub wrote with echo $$ >>FILE).
    QList<qint64> numbers(const QString &name) const {
        QList<qint64> values;
        for (const QByteArray &line : read(name).split('\n')) {
            bool ok = false;
            const qint64 value = line.trimmed().toLongLong(&ok);
            if (ok)
                values.append(value);
        }
        return values;
    }
    // Closed before returning: exec of a file still open for writing fails.
    bool write(const QString &name, const QByteArray &content) const {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QTemporaryDir dir;
};
