#pragma once

#include "model/DisplayText.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QUuid>

// Why a process was not stopped. Each kind has one fixed message for the user.
class KillError {
public:
    enum class Kind { NotOwned, Failed, PermissionDenied, ProcessGone };

    static KillError notOwned(QString user) {
        return KillError(Kind::NotOwned, std::move(user), 0);
    }
    static KillError failed(qint32 code) { return KillError(Kind::Failed, {}, code); }
    static KillError permissionDenied() { return KillError(Kind::PermissionDenied, {}, 0); }
    static KillError processGone() { return KillError(Kind::ProcessGone, {}, 0); }

    Kind kind() const { return m_kind; }
    QString message() const;

    friend bool operator==(const KillError &, const KillError &) = default;

private:
    KillError(Kind kind, QString user, qint32 code)
        : m_kind(kind)
        , m_user(std::move(user))
        , m_code(code) {}
    Kind m_kind;
    QString m_user; // NotOwned only
    qint32 m_code;  // Failed only: the errno value, or -1
};

// One stop-failure alert: a fresh id for every message, so that two failures
// with the same text are still two alerts.
struct KillMessage {
    Q_GADGET
    Q_PROPERTY(QString id READ idText)
    Q_PROPERTY(QString text MEMBER text)

public:
    QUuid id;
    QString text;

    // The error's message as shown: the owner's name in it escaped.
    static KillMessage from(const KillError &error) {
        return {QUuid::createUuid(), escapeControlCharacters(error.message())};
    }
    QString idText() const { return id.toString(QUuid::WithoutBraces); }
};

Q_DECLARE_METATYPE(KillMessage)
