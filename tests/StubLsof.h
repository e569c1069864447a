#pragma once

// A stand-in for lsof: a /bin/sh script in a temporary directory, handed to PortScanner
// or quayline-cli --lsof. Its preamble sets dir (that directory) and run ("tcp" when
// called with -iTCP, else "udp"), then writes the arguments, one a line, to
// "$dir/$run.args", which also records that the run started.

#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <optional>

struct StubLsof {
    // A failed write shows up in the tests as a missing lsof.
    explicit StubLsof(const QByteArray &body, bool executable = true) {
        write("lsof", "#!/bin/sh\ndir=${0%/*}\nrun=udp\ncase \"$*\" in *-iTCP*) run=tcp ;; esac\n"
                      "printf '%s\\n' \"$@\" >\"$dir/$run.args\"\n" +
                          body);
        QFile::setPermissions(path(),
                              QFile::ReadOwner | (executable ? QFile::ExeOwner : QFile::ReadOwner));
    }

    enum class Vanish { No, AfterFirstTcpRun };
    // A body that lists pid as command listening on TCP 127.0.0.1:port, owned by user,
    // while /proc/PID/stat still shows the start time it has now: it never lists a
    // process that took the pid later, nor a zombie. UDP runs print nothing. With
    // Vanish::AfterFirstTcpRun the stub deletes itself after its first TCP run (lsof
    // gone). Empty when pid's start time cannot be read.
    static std::optional<QByteArray> listenerBody(qint32 pid, int port, const QString &user,
                                                  Vanish vanish = Vanish::No,
                                                  const QString &command = QStringLiteral("perl")) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray start =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(21) : QByteArray();
        if (pid <= 0 || start.isEmpty())
            return std::nullopt;
        return QStringLiteral("[ $run = tcp ] || exit 0\n"
                              "set -- $(cut -d' ' -f3,22 /proc/%1/stat 2>/dev/null)\n"
                              "[ \"$1\" != Z ] && [ \"$2\" = '%2' ] && printf 'p%1\\nc%3\\nL%4\\n"
                              "f3\\ntIPv4\\nPTCP\\nn127.0.0.1:%5\\nTST=LISTEN\\n'\n%6\n")
            .arg(QString::number(pid), QString::fromLatin1(start), command, user,
                 QString::number(port),
                 vanish == Vanish::AfterFirstTcpRun ? QStringLiteral("rm -f \"$0\"")
                                                    : QStringLiteral("exit 0"))
            .toUtf8();
    }

    QString path() const { return dir.filePath(QStringLiteral("lsof")); }
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
