#pragma once

// Stand-ins for lsof: small /bin/sh scripts written into a temporary directory
// and handed to PortScanner (or quayline-cli --lsof) instead of the real program.
//
// Every stub starts with the same preamble:
//   dir   the stub's directory (also where the test puts canned output),
//   run   "tcp" or "udp", told apart by the -iTCP / -iUDP argument ("other" if neither),
// and it writes its arguments, one per line, to "$dir/$run.args" before anything
// else, so the file both records the arguments and proves that the run started.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class StubLsof {
public:
    // Prints the file "$dir/tcp.out" or "$dir/udp.out" (nothing when it does not exist).
    static QByteArray printsOutput(int exitStatus = 0) {
        return "cat \"$dir/$run.out\" 2>/dev/null\nexit " + QByteArray::number(exitStatus) + '\n';
    }

    explicit StubLsof(const QByteArray &body, QFile::Permissions permissions = executable()) {
        if (!m_dir.isValid() || m_dir.path().contains(u'\''))
            return;
        const QByteArray script =
            "#!/bin/sh\n"
            "dir='" +
            QFile::encodeName(m_dir.path()) +
            "'\n"
            "case \" $* \" in\n"
            "*' -iTCP '*) run=tcp ;;\n"
            "*' -iUDP '*) run=udp ;;\n"
            "*) run=other ;;\n"
            "esac\n"
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >\"$dir/$run.args\"\n" +
            body;
        m_valid =
            writeFile(QStringLiteral("lsof"), script) && QFile::setPermissions(path(), permissions);
    }

    static QFile::Permissions executable() {
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
               QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    }

    bool isValid() const { return m_valid; }
    QString path() const { return filePath(QStringLiteral("lsof")); }
    QString dir() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    bool exists(const QString &name) const { return QFile::exists(filePath(name)); }

    // Written in one go and closed before returning, so no child can inherit a
    // descriptor open for writing (which would make exec of the stub fail).
    bool writeFile(const QString &name, const QByteArray &content) const {
        QFile file(filePath(name));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(content) == content.size();
    }

    QByteArray readFile(const QString &name) const {
        QFile file(filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The arguments a run recorded, or an empty list when that run never started.
    QStringList arguments(const QString &run) const {
        const QString text = QString::fromUtf8(readFile(run + QStringLiteral(".args")));
        QStringList lines = text.split(u'\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};
