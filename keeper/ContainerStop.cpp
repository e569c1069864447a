#include "keeper/ContainerStop.h"

#include "scanner/ContainerEngine.h"
#include "scanner/UserEngine.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <optional>

namespace {

// The engine's own words in an error answer ({"message": "No such container: x"}).
QString engineMessage(const QByteArray &body) {
    const QString message = QJsonDocument::fromJson(body).object().value(u"message").toString();
    return message.isEmpty() ? QString::fromUtf8(body.trimmed().left(500)) : message;
}

} // namespace

KeeperStopResult stopContainer(ContainerEngine &engine, const QString &idOrName,
                               std::chrono::seconds grace, std::chrono::milliseconds margin) {
    using Kind = KeeperStopResult::Kind;
    using Answer = ContainerEngine::Answer;
    if (!ContainerEngine::isContainerReference(idOrName))
        return {Kind::Gone, QStringLiteral("“%1” is not a container id or name.").arg(idOrName)};
    const QStringList sockets = engine.socketsFor(idOrName);
    // Whatever happens next, its state is worth reading anew.
    engine.forget(idOrName);
    const QByteArray path = "/v1.41/containers/" + idOrName.toLatin1() +
                            "/stop?t=" + QByteArray::number(qint64(grace.count()));
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(grace) + margin;
    std::optional<KeeperStopResult> gone, denied, broken;
    QStringList refused, absent;
    for (const QString &socket : sockets) {
        const Answer answer = ContainerEngine::request(socket, "POST", path, limit);
        switch (answer.outcome) {
        case Answer::Outcome::Answered:
            if (answer.status == 204)
                return {Kind::Stopped, {}};
            if (answer.status == 304)
                return {Kind::AlreadyStopped, {}};
            if (answer.status == 404) {
                // Another engine may run it (Docker and Podman side by side).
                if (!gone)
                    gone = KeeperStopResult{Kind::Gone, engineMessage(answer.body)};
                continue;
            }
            return {Kind::Failed, engineMessage(answer.body)};
        case Answer::Outcome::TimedOut:
            // It may be stopping it still: asking another engine would not help.
            return {Kind::TimedOut,
                    QStringLiteral("The container engine at %1 did not answer within %2 seconds.")
                        .arg(socket)
                        .arg(double(limit.count()) / 1000.0)};
        case Answer::Outcome::Denied:
            // The engine is there, but only its group may talk to it.
            if (!denied)
                denied = KeeperStopResult{
                    Kind::Refused,
                    QStringLiteral("Not allowed to use the container engine at %1: %2.")
                        .arg(socket, QString::fromLocal8Bit(std::strerror(answer.error)))};
            continue;
        case Answer::Outcome::Refused:
            refused.append(socket);
            continue;
        case Answer::Outcome::Absent:
            absent.append(socket);
            continue;
        case Answer::Outcome::Broken:
            if (!broken)
                broken = KeeperStopResult{
                    Kind::Failed,
                    QStringLiteral("The container engine at %1 gave no usable answer%2.")
                        .arg(socket, answer.error
                                         ? QStringLiteral(": ") +
                                               QString::fromLocal8Bit(std::strerror(answer.error))
                                         : QString())};
            continue;
        }
    }
    if (gone)
        return *gone;
    if (denied)
        return *denied;
    if (broken)
        return *broken;
    if (!refused.isEmpty())
        return {Kind::Unavailable,
                QStringLiteral("No container engine is running at %1.").arg(refused.join(u", "))};
    return {
        Kind::Unavailable,
        QStringLiteral("No container engine was found (looked at %1).").arg(absent.join(u", "))};
}

std::optional<KeeperStopResult> stopWithPodman(ChildProcesses &children, const QString &podman,
                                               const QString &idOrName, std::chrono::seconds grace,
                                               std::chrono::milliseconds margin) {
    if (!ContainerEngine::isContainerReference(idOrName))
        return std::nullopt;
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(grace) + margin;
    // It names the container it stopped, and nothing where it stopped none.
    const std::optional<QByteArray> out = UserEngine::runPodman(
        children, podman, {"stop", "--time", QString::number(grace.count()), idOrName}, limit);
    if (!out || out->trimmed().isEmpty())
        return std::nullopt;
    return KeeperStopResult{KeeperStopResult::Kind::Stopped, {}};
}
