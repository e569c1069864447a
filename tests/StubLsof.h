#pragma once

// A stand-in for lsof: a /bin/sh script in a temporary directory, handed to PortScanner
// or quayline-cli --lsof. Its preamble sets dir (that directory) and run ("tcp" when
// called with -iTCP, else "udp"), then writes the arguments, one a line, to
// "$dir/$run.args", which also records that the run started.

#include <QFile>
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
    QString path() const { return dir.filePath(QStringLiteral("lsof")); }
    QByteArray read(const QString &name) const {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Closed before returning: exec of a file still open for writing fails.
    bool write(const QString &name, const QByteArray &content) const {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QTemporaryDir dir;
};
